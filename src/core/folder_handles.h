// Handles that tell where a path really leads, and folders held so that nobody can swap them.
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

// Opens a folder the run has just made without delete sharing, so that while the handle is
// open nobody can rename or remove it and put a link in its place. INVALID_HANDLE_VALUE when
// what stands at the name is not a plain folder (a link included, which is not followed).
HANDLE PinPlainFolder(const char* folder);
