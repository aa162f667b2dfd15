// Where a path really leads (the file gate, core/file_gate.h, holds folders against swapping).
// Comparing the final path of an open handle with where a path should lead is the only way to
// know that no link lies on the way: names alone cannot tell.
#pragma once

#include <windows.h>

#include "core/text.h"

// The final path of an open handle of path, without the "\\?\" prefix; with
// FILE_FLAG_OPEN_REPARSE_POINT in flags a link at path itself is named, not followed. The
// probe changes nothing, so it is made directly, not through the operation tables. 0 when the
// path cannot be opened (not there yet) or its name does not fit.
int FinalPathOf(const char* path, DWORD flags, char out[kPathSize]);
