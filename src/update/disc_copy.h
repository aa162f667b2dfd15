// Copies from the game's installation discs, with the shell's own progress window, asking for
// each disc until it is in a CD-ROM drive. Copies land in a folder of the run's own inside the
// install folder and join the staged set; the commit moves them to their places.
#pragma once

#include <windows.h>

// The drive ("D:") where a disc was last found in this run; empty before.
extern char DiscRoot[3];

// 1 when every item of CopyList was copied and staged; 0 when the user cancelled or a copy
// failed (after its message). The dialog is left to the caller.
int StageDiscCopies(HWND dialog);
