#include "app/run_folder.h"

#include <windows.h>

#include <string.h>

#include "archive/archive.h"
#include "core/file_gate.h"
#include "core/messages.h"
#include "core/platform_ops.h"
#include "core/platform_text.h"
#include "core/profile.h"

namespace {

char RunFolder[kPathSize];
HANDLE IniHandle = INVALID_HANDLE_VALUE;

const char kNameStem[] = "UPDATE.";
const size_t kNameSize = sizeof kNameStem + 32;

void ShowWithPath(const char* format, const char* path) {
    char text[kMessageSize];
    wsprintfA(text, format, path);
    ShowUpdaterError(text);
}

int RandomName(char name[kNameSize]) {
    unsigned char bytes[16];
    if (!DirectOps.RandomBytes(bytes, sizeof bytes))
        return 0;
    static const char digits[] = "0123456789ABCDEF";
    char* p = name + sizeof kNameStem - 1;
    memcpy(name, kNameStem, sizeof kNameStem - 1);
    for (unsigned char b : bytes) {
        *p++ = digits[b >> 4];
        *p++ = digits[b & 15];
    }
    *p = 0;
    return 1;
}

// 1 when the open file holds exactly the payload's UPDATE.INI.
int HoldsEntry(HANDLE file) {
    uint32_t size = 0;
    const uint8_t* entry = (const uint8_t*)FindEntryData("UPDATE.INI", &size);
    if (!entry)
        return 0;
    int same = PlatformOps.GetFileSize(file, nullptr) == size;
    for (uint32_t done = 0; same && done < size;) {
        uint8_t chunk[4096];
        const DWORD want = size - done < sizeof chunk ? size - done : (DWORD)sizeof chunk;
        DWORD got = 0;
        same = PlatformOps.ReadFile(file, chunk, want, &got, nullptr) && got == want &&
               memcmp(chunk, entry + done, want) == 0;
        done += want;
    }
    if (entry < PayloadData || entry >= PayloadData + PayloadSize)
        FreeFixed((void*)entry);
    return same;
}

} // namespace

const char* RunFolderPath() {
    return RunFolder;
}

int CreateRunFolder() {
    char temp[kPathSize];
    const DWORD length = DirectOps.GetTempPathA(sizeof temp, temp);
    if (length == 0) {
        ShowUpdaterError("一時フォルダの場所を取得できません");
        return 0;
    }
    if (length >= sizeof temp) {
        ShowPathTooLong("%TEMP%", "UPDATE.INI");
        return 0;
    }
    for (int attempt = 0; attempt < kRunFolderAttempts; ++attempt) {
        char name[kNameSize];
        if (!RandomName(name))
            break;
        strcpy(RunFolder, temp);
        char ini[kPathSize];
        if (!JoinPath(RunFolder, name)) {
            RunFolder[0] = 0;
            ShowPathTooLong(temp, name);
            return 0;
        }
        strcpy(ini, RunFolder);
        if (!JoinPath(ini, "UPDATE.INI") || !HasRoomToWrite(ini)) {
            ShowPathTooLong(RunFolder, "UPDATE.INI");
            RunFolder[0] = 0;
            return 0;
        }
        // Only a folder this call creates will do: anything already at the name (a folder, a
        // file, a link, put there by whoever) makes it draw another name. The gate holds the
        // temporary folder and the new one (neither can be renamed, nor replaced by a link)
        // until the program ends.
        if (!GateHoldBase(temp, 1))
            break;
        if (GateCreateFolder(RunFolder)) {
            strcpy(UpdateIniPath, ini);
            return 1;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    RunFolder[0] = 0;
    ShowWithPath("一時フォルダに作業用のフォルダを作成できません：\r%s", temp);
    return 0;
}

int PlaceUpdateIni() {
    const unsigned boxesBefore = ErrorBoxCount;
    if (!ExtractEntry("UPDATE.INI", UpdateIniPath, 0)) {
        // The extraction names most of its failures; a failed write it leaves unsaid.
        if (ErrorBoxCount == boxesBefore)
            ShowWithPath("一時ファイルを書き込めません：\r%s", UpdateIniPath);
        return 0;
    }
    // Read sharing only: the profile reader may open it, nobody may write, rename or delete
    // it. The check closes the moment between the extraction's rename and this open.
    IniHandle = GateOpen(UpdateIniPath, GENERIC_READ, FILE_SHARE_READ, kGateExistingFile);
    if (IniHandle == INVALID_HANDLE_VALUE || !HoldsEntry(IniHandle)) {
        ShowWithPath("一時ファイルが他のプログラムに使用されているか、書き換えられています：\r%s",
                     UpdateIniPath);
        return 0;
    }
    return 1;
}

void ReleaseRunFolder() {
    if (IniHandle != INVALID_HANDLE_VALUE) {
        PlatformOps.CloseHandle(IniHandle);
        IniHandle = INVALID_HANDLE_VALUE;
    }
    // The folder is still pinned: the name below is inside the folder this run created.
    if (UpdateIniPath[0]) {
        GateDelete(UpdateIniPath);
        UpdateIniPath[0] = 0;
    }
    // Removes an empty folder only: whatever someone else put into it stays, with the folder.
    if (RunFolder[0]) {
        GateRemoveFolder(RunFolder);
        RunFolder[0] = 0;
    }
}
