#include "app/startup.h"

#include <objbase.h>
#include <string.h>

#include "app/launch.h"
#include "app/run_folder.h"
#include "archive/archive.h"
#include "archive/payload_volumes.h"
#include "core/folder_handles.h"
#include "core/messages.h"
#include "core/path_form.h"
#include "core/platform_ops.h"
#include "core/platform_text.h"
#include "core/profile.h"
#include "update/run_checks.h"

namespace {

typedef HRSRC(WINAPI* FindResourceFn)(HMODULE, LPCSTR, LPCSTR);
typedef DWORD(WINAPI* SizeofResourceFn)(HMODULE, HRSRC);
typedef HGLOBAL(WINAPI* LoadResourceFn)(HMODULE, HRSRC);
typedef LPVOID(WINAPI* LockResourceFn)(HGLOBAL);

// Every stop ends the run with exit code 0; RunUpdater cleans up after every path.
int Stop() {
    ExitCode = 0;
    return 0;
}

// The run's own folder for UPDATE.INI: a second updater started meanwhile never touches it,
// and no other program can have prepared it.
int PrepareUpdateIniPath() {
    return CreateRunFolder();
}

int ReadRequiredKeys() {
    return ReadUpdateValue("SETUP", "CompanyName", GameIdentity.CompanyName, kPathSize) &&
           ReadUpdateValue("SETUP", "GameTitle", GameIdentity.GameTitle, kPathSize) &&
           ReadUpdateValue("SETUP", "GameClass", GameIdentity.GameClass, kPathSize) &&
           ReadUpdateValue("SETUP", "GameDir", GameIdentity.GameDir, kPathSize);
}

void ReadOptionalKeys() {
    UpdaterConfigRecord& c = UpdaterConfig;
    ReadUpdateValue("SETUP", "GameTitleA", c.GameTitleA, sizeof c.GameTitleA);
    ReadUpdateValue("SETUP", "UpdaterVersion", c.UpdaterVersion, sizeof c.UpdaterVersion);
    ReadUpdateValue("SETUP", "UpdaterTitle", c.UpdaterTitle, sizeof c.UpdaterTitle);
    ReadUpdateValue("SETUP", "DataFolder", c.DataFolder, sizeof c.DataFolder);
    ReadUpdateValue("SETUP", "UpdateMessage", c.UpdateMessage, sizeof c.UpdateMessage);
    ReadUpdateValue("SETUP", "ExistErrorMessage", c.ExistErrorMessage, sizeof c.ExistErrorMessage);
    char modeText[kPathSize];
    const int present =
        ReadUpdateValue("SETUP", "ModeTextUpdateOrInstall", modeText, sizeof modeText);
    InstallMode = present ? InstallModeOf(modeText) : 0;
    ModeWord = InstallMode ? "インストール" : "アップデート";
}

// Reads a registry value into a field of `size` bytes. A string value that fills the field to
// its last byte without a terminator does not fit it and counts as unreadable.
int QueryValue(HKEY key, const char* name, void* field, DWORD size, bool isString) {
    memset(field, 0, size);
    DWORD got = size;
    if (PlatformOps.RegQueryValueExA(key, name, nullptr, nullptr, (BYTE*)field, &got) !=
        ERROR_SUCCESS)
        return 0;
    if (!isString)
        return 1;
    char* text = (char*)field;
    if (got >= size && text[size - 1] != 0) {
        memset(field, 0, size);
        return 0;
    }
    if (got < size)
        text[got] = 0;
    return 1;
}

int ReadInstallRecord() {
    char keyPath[kTextSize];
    wsprintfA(keyPath, "Software\\%s\\%s", GameIdentity.CompanyName, GameIdentity.GameDir);
    strcpy(InstallRecord.KeyPath, keyPath);
    HKEY key;
    int installed = 0;
    if (PlatformOps.RegOpenKeyExA(HKEY_CURRENT_USER, keyPath, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        if (QueryValue(key, "InstPath", InstallRecord.InstPath, kPathSize, true)) {
            if (!QueryValue(key, "DataPath", InstallRecord.DataPath, kPathSize, true))
                InstallRecord.DataPath[0] = 0;
            if (QueryValue(key, "InstMode", &InstalledMode, sizeof InstalledMode, false)) {
                installed = 1;
                int32_t add;
                QueryValue(key, "InstAdd", &add, sizeof add, false);
            }
        }
        PlatformOps.RegCloseKey(key);
    }
    if (!installed) {
        char text[kMessageSize];
        wsprintfA(text, "「%s」がインストールされていません", GameIdentity.GameTitle);
        ShowUpdaterError(text);
    }
    return installed;
}

// The install and data folders in their exact form, refused when they are, or lie inside, the
// Windows folder (by name or by where a link leads): an elevated program must not write there
// on the word of a registry value any program of the user can set. 0 after a message.
int SettleGameFolder(char* folder) {
    char exact[kPathSize];
    char text[kMessageSize];
    if (!ExactFolder(folder, exact)) {
        wsprintfA(text, "「%s」はフォルダの名前として正しくないため、アップデートできません",
                  folder);
        ShowUpdaterError(text);
        return 0;
    }
    if (LiesInWindowsFolder(exact)) {
        wsprintfA(text, "「%s」は Windows のフォルダの中にあるため、アップデートできません",
                  folder);
        ShowUpdaterError(text);
        return 0;
    }
    strcpy(folder, exact);
    return 1;
}

} // namespace

// Copies the archive entry named by the key into a new zero-filled block with two spare zero
// bytes, so that it reads as a string whatever it holds. 1 when the key is empty or the copy
// was made; 0 after the messages of a failure.
int CopyNamedEntry(const char* key, char** text) {
    char name[kPathSize];
    if (!ReadUpdateValue("SETUP", key, name, sizeof name))
        return 1;
    uint32_t size = 0;
    const void* bytes = FindEntryData(name, &size);
    if (!bytes) {
        char message[kMessageSize];
        wsprintfA(message, "'%s' not found at UPDATE.QV3", name);
        ShowUpdaterError(message);
        return 0;
    }
    char* block = (char*)AllocFixed((size_t)size + 2);
    if (block)
        memcpy(block, bytes, size);
    // A decoded entry is a block of its own; one stored as is lies in the payload.
    if ((const uint8_t*)bytes < PayloadData || (const uint8_t*)bytes >= PayloadData + PayloadSize)
        FreeFixed((void*)bytes);
    if (!block) {
        ShowUpdaterError("Can't Allocate Memory !!");
        return 0;
    }
    block[size] = 0;
    block[(size_t)size + 1] = 0;
    *text = block;
    return 1;
}

int32_t InstallModeOf(const char* modeText) {
    return ParseDecimal(modeText) != 0 ? 1 : 0;
}

const void* LocatePayload() {
    HMODULE base = PlatformOps.baseLibrary;
    FindResourceFn findResource = (FindResourceFn)(void*)GetProcAddress(base, "FindResourceA");
    SizeofResourceFn sizeofResource =
        (SizeofResourceFn)(void*)GetProcAddress(base, "SizeofResource");
    LoadResourceFn loadResource = (LoadResourceFn)(void*)GetProcAddress(base, "LoadResource");
    LockResourceFn lockResource = (LockResourceFn)(void*)GetProcAddress(base, "LockResource");
    if (!findResource || !sizeofResource || !loadResource || !lockResource)
        return nullptr;
    HRSRC resource = findResource(ModuleInstance, MAKEINTRESOURCEA(102), "UPDATE");
    if (!resource)
        return nullptr;
    const DWORD size = sizeofResource(ModuleInstance, resource);
    if (size == 0)
        return nullptr;
    HGLOBAL loaded = loadResource(ModuleInstance, resource);
    if (!loaded)
        return nullptr;
    const void* data = lockResource(loaded);
    if (data)
        PayloadSize = size;
    return data;
}

void CleanUp() {
    CloseArchive();
    ReleaseRunFolder();
}

int StartUp() {
    if (!BindPlatformOps()) {
        ShowUpdaterError("COULD NOT MAP SOME FUNCTIONS");
        return Stop();
    }
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    PayloadData = (const uint8_t*)LocatePayload();
    if (!PayloadData)
        return Stop();
    if (!UseArchiveIndex(OpenArchive())) {
        ShowUpdaterError("RESOURCE READ ERROR");
        return Stop();
    }
    if (!CheckPayloadIntegrity())
        return Stop();
    if (!OpenPayloadVolumes(nullptr))
        return Stop();
    if (!PrepareUpdateIniPath())
        return Stop();
    if (!PlaceUpdateIni())
        return Stop();
    if (!ReadRequiredKeys())
        return Stop();
    RequiredKeys = 0;
    ExitCode = 1;
    ReadOptionalKeys();
    if (!CopyNamedEntry("AgreementText", &LicenceText) ||
        !CopyNamedEntry("AgreementTitle", &GreetingText))
        return Stop();
    if (!ReadInstallRecord() || !SettleGameFolder(InstallRecord.InstPath) ||
        !SettleGameFolder(InstallRecord.DataPath))
        return Stop();
    if (UpdaterConfig.UpdateMessage[0]) {
        char notice[kTextSize];
        ConvertLineBreaks(UpdaterConfig.UpdateMessage, notice, StepAnsiChar);
        ShowUpdaterError(notice);
    }
    strcpy(SetupIniPath, InstallRecord.InstPath);
    if (!JoinPath(SetupIniPath, "SETUP.INI")) {
        ShowPathTooLong(InstallRecord.InstPath, "SETUP.INI");
        return Stop();
    }
    if (PlatformOps.GetFileAttributesA(SetupIniPath) == INVALID_FILE_ATTRIBUTES) {
        ShowUpdaterError("インストール先に \"SETUP.INI\" ファイルが見つかりません");
        return Stop();
    }
    return 1;
}

int RunUpdater(HINSTANCE instance) {
    ModuleInstance = instance;
    if (StartUp())
        ExitCode = LaunchUpdate();
    else
        ExitCode = 0;
    CleanUp();
    return ExitCode;
}
