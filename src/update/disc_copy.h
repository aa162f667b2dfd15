// Copies from the game's installation discs into the install folder, with the shell's own
// progress window, asking for each disc until it is in a CD-ROM drive.
#pragma once

#include <windows.h>

// The drive ("D:") where a disc was last found in this run; empty before.
extern char DiscRoot[3];

// 1 when every item of CopyList was copied; 0 when it has ended the dialog with -1.
int CopyDiscFiles(HWND dialog);

// 1 when every copy's source and destination fit a path; else 0 after a message. Checked
// before anything is written.
int CheckCopyPaths();
