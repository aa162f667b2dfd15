// Which folders a run may remove once the files it deleted have left them empty: free of the
// platform, so that the boundary is tested as a table of folders.
#pragma once

#include "core/text.h"

// 1 when folder may go once empty: it lies strictly below the install folder (every deletion's
// target does), and it is neither the data folder (which may be empty) nor a folder holding it.
// Names are compared as the platform compares them, single-byte letters without regard to case,
// so that no spelling of a recorded folder passes for another folder.
int MayRemoveEmptiedFolder(const char* folder, const char* install, const char* data,
                           CharStepFn step);
