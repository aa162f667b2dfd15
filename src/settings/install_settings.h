// The installed game's SETUP.INI, as the companion installer wrote it: read whole and checked
// against the installer's own limits, although the updater uses only a few of its values.
#pragma once

#include <stdint.h>

#include "core/text.h"

const int kMaxSetupBmps = 20;
const int kMaxSelections = 4;
const int kMaxInstallItems = 40;
const int kMaxShortcuts = 10;
const int kShortcutFields = 4;
const int kDiscCount = 10;
// The add-on file list takes the place of the fourth selection.
const int kAddOnSlot = 3;

// Everything but the game's identity, which lives in GameIdentity (core/run_state.h): loading
// SETUP.INI replaces the identity UPDATE.INI gave.
struct InstallSettingsRecord {
    char GameExe[kPathSize];
    char UninstExe[kPathSize];
    char SetupBmp[kMaxSetupBmps][kPathSize];
    int32_t InstallSelects;
    char InstallTitle[kMaxSelections][kPathSize];
    char InstallFiles[kMaxSelections][kMaxInstallItems][kPathSize];
    int32_t InstallFileDiscs[kMaxSelections][kMaxInstallItems];
    int32_t InstallNeedsDisc[kMaxSelections];
    int32_t Shortcuts;
    char Shortcut[kMaxShortcuts][kShortcutFields][kPathSize];
    int32_t DefaultSelect;
    int64_t InstallSize[kMaxSelections];
    char DiskCheckFile[kDiscCount][kPathSize];
    char ExecApp[2][kPathSize];
    char SelectSetupMessage[kTextSize];
    char SaveDataFolderNameInInstall[kPathSize];
    char SaveDataFolderName[kPathSize];
    char StrKeyInstPath[kPathSize];
    char ShortcutFolder[kPathSize];
    int32_t InstallAfterAdd;
    char UninstTitle[kPathSize];
    int32_t InstPathMode;
    char GameExe64[kPathSize];
};

extern InstallSettingsRecord InstallSettings;

// Reads [SETUP] of SetupIniPath. 1 when it was read whole and valid; 0 after the message of the
// first fault (caption "INSTCMMN"). Leaves RequiredKeys off when it succeeds.
int LoadInstallSettings();
