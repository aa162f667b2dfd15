// The updater's run from its entry point: start-up state, the steps that find the payload, the
// update description and the installed game, and the clean-up that ends every path.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "core/text.h"

// The game's identity. Read from UPDATE.INI at start-up, then replaced by the installed game's
// SETUP.INI values when that file is loaded: one storage for both.
struct GameIdentityRecord {
    char CompanyName[kPathSize];
    char GameTitle[kPathSize];
    char GameDir[kPathSize];
    char GameClass[kPathSize];
};
extern GameIdentityRecord GameIdentity;

// The rest of UPDATE.INI's [SETUP] section.
struct UpdaterConfigRecord {
    char GameTitleA[kPathSize];
    char UpdaterVersion[kPathSize];
    char UpdaterTitle[kPathSize];
    char DataFolder[kPathSize];
    char UpdateMessage[kTextSize];
    char ExistErrorMessage[kTextSize];
};
extern UpdaterConfigRecord UpdaterConfig;

// 1 in install mode, 0 in update mode; the word that names the operation in the dialog.
extern int32_t InstallMode;
extern const char* ModeWord;
// The agreement and greeting texts named in UPDATE.INI, NUL-terminated, or null.
extern char* LicenceText;
extern char* GreetingText;

// The installed game's registry values.
struct InstallRecordData {
    char InstPath[kPathSize];
    char DataPath[kPathSize];
};
extern InstallRecordData InstallRecord;
extern int32_t InstalledMode;

extern HINSTANCE ModuleInstance;
extern int ExitCode;

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
