// The updater's two error boxes and the state they read.
#pragma once

#include <windows.h>

const size_t kMessageSize = 1024;

// "UPDATE" until the game is known; the caption of the dialog and of every box.
extern char UpdaterCaption[kMessageSize];
// The update dialog while it exists, else none.
extern HWND MessageOwner;

// How many boxes the two functions below have shown: lets a caller tell whether a step that
// failed has said why.
extern unsigned ErrorBoxCount;

// Stop icon, one OK button, caption UpdaterCaption.
void ShowUpdaterError(const char* text);
// The same box under the fixed caption used for everything about profile keys.
void ShowSetupError(const char* text);
