// The run's process-wide records: the game's identity, UPDATE.INI's [SETUP] values, the installed
// game's registry values, the module and the exit code. Start-up (app/startup) fills them; every
// other part of the updater only reads them, so they stand here, below all of them.
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

// The installed game's registry values, the folders in their one exact form (app/startup). And
// the key they were read from, "Software\<CompanyName>\<GameDir>" by UPDATE.INI's values, which
// come from the payload: the run's journal is kept under the same path below the local
// machine's root, which the installed SETUP.INI (which later replaces the identity) cannot move.
struct InstallRecordData {
    char InstPath[kPathSize];
    char DataPath[kPathSize];
    char KeyPath[kTextSize];
};
extern InstallRecordData InstallRecord;
extern int32_t InstalledMode;

extern HINSTANCE ModuleInstance;
extern int ExitCode;
