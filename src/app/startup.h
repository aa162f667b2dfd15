// The updater's run from its entry point: the steps that find the payload, the update
// description and the installed game, and the clean-up that ends every path. The records they
// fill live in core/run_state.h, so that the Parts below read them without reaching up here.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "core/run_state.h"

// Finds the payload resource (type "UPDATE", id 102) of the running module, loads and locks it;
// sets PayloadSize. Null when there is none or any step fails.
const void* LocatePayload();

// Releases the archive index and removes the temporary UPDATE.INI.
void CleanUp();

// The whole run; the result is the process exit code.
int RunUpdater(HINSTANCE instance);

// Start-up up to the check for SETUP.INI; 1 when the run may go on, 0 after a stop.
int StartUp();

// Copies the archive entry that the [SETUP] key names into a new zero-filled block with two
// spare zero bytes, so that it reads as a string whatever it holds. 1 when the key is empty or
// the copy was made; 0 after the messages of a failure.
int CopyNamedEntry(const char* key, char** text);

// ModeTextUpdateOrInstall's value to the install mode: non-zero number means install.
int32_t InstallModeOf(const char* modeText);
