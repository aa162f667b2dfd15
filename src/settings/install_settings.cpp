#include "settings/install_settings.h"

#include <windows.h>

#include <string.h>

#include "core/messages.h"
#include "core/profile.h"
#include "core/run_state.h"

InstallSettingsRecord InstallSettings;

namespace {

const char kDefaultSelectMessage[] = "インストール方法を選択して下さい";

int Refuse(const char* text) {
    ShowSetupError(text);
    return 0;
}

int ListError(const char* key) {
    char text[kMessageSize];
    wsprintfA(text, "SETUP.INI : %s エラー", key);
    return Refuse(text);
}

// A list whose items carry disc numbers, into one selection slot. 0 (after the message) when
// the list has no item at all.
int ReadDiscList(const char* key, int slot) {
    InstallSettingsRecord& s = InstallSettings;
    char value[kTextSize];
    if (!ReadSetupValue(key, value, sizeof value))
        return 0;
    ItemDiskNumber = 0;
    s.InstallNeedsDisc[slot] = 0;
    const char* cursor = value;
    int count = 0;
    while (count < kMaxInstallItems && NextListItem(s.InstallFiles[slot][count], &cursor)) {
        s.InstallFileDiscs[slot][count] = ItemDiskNumber;
        if (ItemDiskNumber)
            s.InstallNeedsDisc[slot] = 1;
        ++count;
    }
    if (count == 0)
        return ListError(key);
    if (count < kMaxInstallItems)
        s.InstallFiles[slot][count][0] = 0;
    return 1;
}

int ReadSetupBmps() {
    char value[kTextSize];
    if (!ReadSetupValue("SetupBmp", value, sizeof value))
        return 0;
    const char* cursor = value;
    int count = 0;
    while (count < kMaxSetupBmps && NextListItem(InstallSettings.SetupBmp[count], &cursor))
        ++count;
    if (count == 0)
        return Refuse("SETUP.INI : SetupBmps エラー");
    if (count < kMaxSetupBmps)
        InstallSettings.SetupBmp[count][0] = 0;
    return 1;
}

int ReadShortcut(int k) {
    char key[32], value[kPathSize];
    wsprintfA(key, "Shortcut%i", k);
    if (!ReadSetupValue(key, value, sizeof value))
        return 0;
    char(*fields)[kPathSize] = InstallSettings.Shortcut[k];
    for (int f = 0; f < kShortcutFields; ++f)
        fields[f][0] = 0;
    const char* cursor = value;
    if (!NextListItem(fields[0], &cursor) || !NextListItem(fields[1], &cursor))
        return ListError(key);
    for (int f = 2; f < kShortcutFields; ++f) {
        const char c = *cursor;
        if (c == 0 || c == '\n' || c == '\r')
            break;
        if (c == ',') {
            // A run of commas is one empty field.
            while (*cursor == ',' || IsBlank(*cursor))
                ++cursor;
            continue;
        }
        NextListItem(fields[f], &cursor);
    }
    return 1;
}

// Optional values, read with RequiredKeys off.
void ReadText(const char* key, char* field, size_t capacity, const char* fallback) {
    if (!ReadSetupValue(key, field, capacity) && fallback)
        lstrcpynA(field, fallback, (int)capacity);
}

int32_t ReadInt(const char* key, int32_t fallback) {
    int32_t value = fallback;
    ReadSetupInt(key, &value);
    return value;
}

int64_t ReadInt64(const char* key) {
    char value[20];
    return ReadSetupValue(key, value, sizeof value) ? ParseDecimal64(value) : 0;
}

int ReadRequiredPart() {
    InstallSettingsRecord& s = InstallSettings;
    GameIdentityRecord& id = GameIdentity;
    if (!ReadSetupValue("CompanyName", id.CompanyName, kPathSize) ||
        !ReadSetupValue("GameTitle", id.GameTitle, kPathSize) ||
        !ReadSetupValue("GameDir", id.GameDir, kPathSize) ||
        !ReadSetupValue("GameExe", s.GameExe, kPathSize) ||
        !ReadSetupValue("UninstExe", s.UninstExe, kPathSize) || !ReadSetupBmps())
        return 0;
    if (!ReadSetupInt("InstallSelects", &s.InstallSelects))
        return 0;
    if (s.InstallSelects > kMaxSelections)
        return Refuse("SETUP.INI : InstallSelect オーバー");
    for (int i = 0; i < s.InstallSelects; ++i) {
        char key[32];
        wsprintfA(key, "InstallTitle%i", i);
        if (!ReadSetupValue(key, s.InstallTitle[i], kPathSize))
            return 0;
        wsprintfA(key, "InstallFiles%i", i);
        if (!ReadDiscList(key, i))
            return 0;
    }
    if (!ReadSetupInt("Shortcuts", &s.Shortcuts))
        return 0;
    if (s.Shortcuts > kMaxShortcuts)
        return Refuse("SETUP.INI : Shortcuts オーバー");
    for (int k = 0; k < s.Shortcuts; ++k) {
        if (!ReadShortcut(k))
            return 0;
    }
    return 1;
}

int ReadOptionalPart() {
    InstallSettingsRecord& s = InstallSettings;
    GameIdentityRecord& id = GameIdentity;
    ReadText("GameClass", id.GameClass, kPathSize, id.GameTitle);
    s.DefaultSelect = ReadInt("DefaultSelect", 0);
    for (int i = 0; i < s.InstallSelects; ++i) {
        char key[32];
        wsprintfA(key, "InstallSize%i", i);
        s.InstallSize[i] = ReadInt64(key);
    }
    for (int i = 0; i < kDiscCount; ++i) {
        char key[32];
        wsprintfA(key, "DiskCheckFile%i", i);
        ReadText(key, s.DiskCheckFile[i], kPathSize, nullptr);
    }
    char execApp[kPathSize];
    if (ReadSetupValue("ExecApp", execApp, sizeof execApp)) {
        const char* cursor = execApp;
        if (!NextListItem(s.ExecApp[0], &cursor) || !NextListItem(s.ExecApp[1], &cursor))
            return ListError("ExecApp");
    } else {
        s.ExecApp[0][0] = 0;
    }
    ReadText("SelectSetupMessage", s.SelectSetupMessage, kTextSize, kDefaultSelectMessage);
    ReadInt("UseCompanyNameForShortcutGroup", 0);
    ReadInt("ChooseSaveDataFolder", 0);
    ReadText("SaveDataFolderNameInInstall", s.SaveDataFolderNameInInstall, kPathSize, "savedata");
    ReadText("SaveDataFolderName", s.SaveDataFolderName, kPathSize, id.GameDir);
    ReadInt("CancelSaveData", 0);
    ReadText("StrKeyInstPath", s.StrKeyInstPath, kPathSize, "InstPath");
    ReadText("ShortcutFolder", s.ShortcutFolder, kPathSize, nullptr);
    ReadInt("StopInstallToProgramFiles", 0);
    ReadInt("Debug_OutputSetupLog", 0);
    s.InstallAfterAdd = ReadInt("InstallAfterAdd", 0) != 0 ? 1 : 0;
    if (s.InstallAfterAdd) {
        RequiredKeys = 1;
        if (!ReadDiscList("InstallAddFiles", kAddOnSlot))
            return 0;
        RequiredKeys = 0;
        s.InstallSize[kAddOnSlot] = ReadInt64("InstallAddSize");
    }
    ReadText("UninstTitle", s.UninstTitle, kPathSize, id.GameTitle);
    s.InstPathMode = ReadInt("InstPathMode", 0);
    ReadText("GameExe64", s.GameExe64, kPathSize, nullptr);
    return 1;
}

} // namespace

int LoadInstallSettings() {
    RequiredKeys = 1;
    if (!ReadRequiredPart())
        return 0;
    RequiredKeys = 0;
    return ReadOptionalPart();
}
