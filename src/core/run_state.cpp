#include "core/run_state.h"

GameIdentityRecord GameIdentity;
UpdaterConfigRecord UpdaterConfig;
int32_t InstallMode = 0;
const char* ModeWord = "アップデート";
char* LicenceText = nullptr;
char* GreetingText = nullptr;
InstallRecordData InstallRecord;
int32_t InstalledMode = 0;
HINSTANCE ModuleInstance = nullptr;
int ExitCode = 0;
