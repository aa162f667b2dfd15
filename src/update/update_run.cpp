#include "update/update_run.h"

#include <string.h>

#include "archive/archive.h"
#include "core/decimal.h"
#include "core/messages.h"
#include "core/platform_ops.h"
#include "core/platform_text.h"
#include "core/profile.h"
#include "core/startup.h"
#include "update/disc_copy.h"
#include "update/info_text.h"

UpdateListData UpdateList;
CopyListData CopyList;

namespace {

bool IsAnsiLeadByte(unsigned char b) {
    return IsDBCSLeadByte(b) != 0;
}

void EnableControl(HWND dialog, int id, bool enabled) {
    EnableWindow(GetDlgItem(dialog, id), enabled ? TRUE : FALSE);
}

// 1 when the drive of the installation has room for what UPDATE.INI asks; else the shortage
// page. A failed query lets the run go on: the writes report a full disk themselves.
int CheckFreeSpace(HWND dialog) {
    char value[kPathSize];
    if (!ReadUpdateValue("UPDATE", "RequiredDiskSpace", value, sizeof value))
        return 1;
    const uint64_t required = ParseByteCount(value);
    if (required == 0)
        return 1;
    char drive[3];
    uint64_t freeBytes;
    if (!QueryFreeBytes(InstallRecord.InstPath, drive, &freeBytes) || required <= freeBytes)
        return 1;
    char shortfall[kDecimalSize];
    FormatDecimal(required - freeBytes, shortfall);
    SetInfoText(dialog, "ディスク容量が足りません。\r%s ドライブに %s バイトの空き容量が必要です",
                drive, shortfall);
    EnableControl(dialog, kBackId, true);
    EnableControl(dialog, kNextId, false);
    EnableControl(dialog, kCancelId, true);
    return 0;
}

void StartWork(HWND dialog) {
    SetInfoText(dialog, "%sを実行しています", ModeWord);
    EnableControl(dialog, kBackId, false);
    EnableControl(dialog, kNextId, false);
    EnableControl(dialog, kCancelId, false);
    SetCursor(LoadCursorA(nullptr, IDC_WAIT));
}

// The version check of an "e" item: the path must be there, as a file or as a folder that
// carries some attribute beyond being a folder.
int PassesExistenceCheck(const char* path) {
    char full[kPathSize];
    strcpy(full, InstallRecord.InstPath);
    if (!JoinPath(full, path)) {
        ShowPathTooLong(InstallRecord.InstPath, path);
        return 0;
    }
    const DWORD attributes = PlatformOps.GetFileAttributesA(full);
    if (attributes != INVALID_FILE_ATTRIBUTES && attributes != FILE_ATTRIBUTE_DIRECTORY)
        return 1;
    const char* text = UpdaterConfig.ExistErrorMessage;
    ShowUpdaterError(text[0] ? text : "アップデートエラー：アップデート対象のバージョンが違います");
    return 0;
}

// Reads UpdateFile00.. up to the first missing key. 0 after a failed version check.
int ReadUpdateList(int* keysRead) {
    UpdateList.count = 0;
    for (int nn = 0; nn < kMaxListItems; ++nn) {
        char key[32], value[kTextSize];
        wsprintfA(key, "UpdateFile%02i", nn);
        if (!ReadUpdateValue("UPDATE", key, value, sizeof value))
            break;
        ++*keysRead;
        UpdateItem item;
        const ItemKind kind = ParseUpdateItem(value, InstalledMode, IsAnsiLeadByte, &item);
        if (kind == kItemCheck && !PassesExistenceCheck(item.path))
            return 0;
        if (kind == kItemStored)
            UpdateList.items[UpdateList.count++] = item;
    }
    return 1;
}

// Reads CopyFile00.. up to the first missing key. 0 after refusing a disc number that is not a
// digit: only ten discs can be identified.
int ReadCopyList(int* keysRead) {
    CopyList.count = 0;
    for (int nn = 0; nn < kMaxListItems; ++nn) {
        char key[32], value[kPathSize];
        wsprintfA(key, "CopyFile%02i", nn);
        if (!ReadUpdateValue("UPDATE", key, value, sizeof value))
            break;
        ++*keysRead;
        CopyItem item;
        const ItemKind kind = ParseCopyItem(value, InstalledMode, &item);
        if (kind == kItemBadDisc) {
            char text[kMessageSize];
            wsprintfA(text, "UPDATE.INI : %s のディスク番号が正しくありません", key);
            ShowUpdaterError(text);
            return 0;
        }
        if (kind == kItemStored)
            CopyList.items[CopyList.count++] = item;
    }
    return 1;
}

// The folder an item is written into, and its target; 0 when either would not fit a path.
int TargetOf(const UpdateItem& item, char folder[kPathSize], char target[kPathSize]) {
    const char* base = item.mode == Data ? InstallRecord.DataPath : InstallRecord.InstPath;
    strcpy(folder, base);
    if (!JoinPath(folder, UpdaterConfig.DataFolder)) {
        ShowPathTooLong(base, UpdaterConfig.DataFolder);
        return 0;
    }
    strcpy(target, folder);
    if (!JoinPath(target, item.path)) {
        ShowPathTooLong(folder, item.path);
        return 0;
    }
    return 1;
}

// Every target is worked out before the first write, so that a path too long for the
// platform stops the run while the installation is still untouched.
int CheckTargets() {
    for (int i = 0; i < UpdateList.count; ++i) {
        char folder[kPathSize], target[kPathSize];
        if (!TargetOf(UpdateList.items[i], folder, target))
            return 0;
        if (!HasRoomToWrite(target)) {
            ShowPathTooLong(folder, UpdateList.items[i].path);
            return 0;
        }
    }
    return CheckCopyPaths();
}

// A data file that is there is written back with its own bytes; 1 when that was done, 0 when
// it could not be read whole (the archive's copy is written instead).
int RewriteDataFile(const char* target) {
    HANDLE h = PlatformOps.CreateFileA(target, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    const DWORD size = PlatformOps.GetFileSize(h, nullptr);
    void* bytes = size == INVALID_FILE_SIZE ? nullptr : AllocFixed(size);
    DWORD got = 0;
    // A short read counts as unreadable: bytes that were not read are never written back.
    const int read = bytes && PlatformOps.ReadFile(h, bytes, size, &got, nullptr) && got == size;
    PlatformOps.CloseHandle(h);
    if (read)
        WriteWholeFile(target, bytes, size, nullptr);
    FreeFixed(bytes);
    return read;
}

// Writes one item by its rule; 1 when it was written or rightly left alone.
int WriteItem(const UpdateItem& item, bool overwriteOnly, int* written) {
    char folder[kPathSize], target[kPathSize];
    TargetOf(item, folder, target);
    CreateDirectoryA(folder, nullptr);
    if (overwriteOnly || item.mode == Overwrite) {
        const DWORD attributes = PlatformOps.GetFileAttributesA(target);
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
            return 1;
    }
    ++*written;
    if (item.mode == Data && RewriteDataFile(target))
        return 1;
    if (ExtractEntry(item.path + item.nameOffset, target, item.mode == Update))
        return 1;
    ShowUpdaterError("ファイルの書き込みに失敗しました");
    return 0;
}

void ShowCompletion(HWND dialog) {
    SetInfoText(dialog, "%sは完了しました", ModeWord);
    SetDlgItemTextA(dialog, kNextId, "完了");
    EnableControl(dialog, kNextId, true);
    SetFocus(GetDlgItem(dialog, kNextId));
    SetCursor(LoadCursorA(nullptr, IDC_ARROW));
}

void NothingToUpdate(HWND dialog) {
    ShowUpdaterError("アップデートする必要のあるファイルはありません");
    ShowCompletion(dialog);
}

} // namespace

void AbortDialog(HWND dialog) {
    EndDialog(dialog, -1);
}

void RunUpdate(HWND dialog) {
    if (!CheckFreeSpace(dialog))
        return;
    StartWork(dialog);
    char value[kPathSize];
    const bool overwriteOnly =
        ReadUpdateValue("UPDATE", "OverwriteOnly", value, sizeof value) && ParseDecimal(value);

    int keysRead = 0;
    if (!ReadUpdateList(&keysRead) || !ReadCopyList(&keysRead))
        return AbortDialog(dialog);
    if (UpdateList.count == 0 && CopyList.count == 0) {
        // Keys that all belong to other installations, or only version checks: this
        // installation needs nothing. No key at all: the patch itself is broken.
        if (keysRead == 0) {
            ShowUpdaterError("No 'UpdateFileXX' and 'CopyFileXX'");
            return AbortDialog(dialog);
        }
        return NothingToUpdate(dialog);
    }
    if (!CheckTargets())
        return AbortDialog(dialog);

    int written = 0;
    for (int i = 0; i < UpdateList.count; ++i) {
        if (!WriteItem(UpdateList.items[i], overwriteOnly, &written))
            return AbortDialog(dialog);
    }
    if (CopyList.count > 0) {
        if (!CopyDiscFiles(dialog))
            return;
        written += CopyList.count;
    }
    if (written == 0)
        return NothingToUpdate(dialog);
    ShowCompletion(dialog);
}
