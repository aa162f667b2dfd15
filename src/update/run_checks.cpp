#include "update/run_checks.h"

#include <windows.h>

#include <string.h>

#include "archive/archive.h"
#include "core/file_gate.h"
#include "core/messages.h"
#include "core/path_form.h"
#include "core/platform_ops.h"
#include "core/platform_text.h"
#include "core/run_state.h"
#include "settings/install_settings.h"
#include "update/commit.h"
#include "update/journal_format.h"
#include "update/update_run.h"

namespace {

// Room a name of the run's own ("~qvXXXXXXXX.dir") takes inside a folder, separator included.
const size_t kRunNameRoom = 1 + 15;

// An elevated program follows no path out of the folder it was given.
int StaysInside(const char* path) {
    if (!PathLeavesFolder(path, StepAnsiChar))
        return 1;
    char text[kMessageSize];
    wsprintfA(text, "UPDATE.INI : \"%s\" はアップデート先のフォルダの外を指しています", path);
    ShowUpdaterError(text);
    return 0;
}

// A new file is written beside its target under a name of the run's own first: the folder part
// of the target must leave room for that name.
void ShowFolderTooLong(const char* folder, const char* path) {
    char text[kMessageSize];
    wsprintfA(text, "パスが長すぎます (ファイルのあるフォルダは %u バイトまで)：\r%s\r%s",
              (unsigned)(kPathSize - 1 - kRunNameRoom), folder, path);
    ShowUpdaterError(text);
}

int CheckUpdateTargets() {
    if (UpdateList.count > 0 && !StaysInside(UpdaterConfig.DataFolder))
        return 0;
    for (int i = 0; i < UpdateList.count; ++i) {
        const UpdateItem& item = UpdateList.items[i];
        char folder[kPathSize], target[kPathSize];
        if (!StaysInside(item.path) || !TargetOf(item, folder, target))
            return 0;
        // A path that names no file is written by nobody: the payload has no entry of an empty
        // name, which the plan says in the order of the items.
        if (!item.path[item.nameOffset])
            continue;
        if (!HasRoomToWrite(target)) {
            ShowFolderTooLong(folder, item.path);
            return 0;
        }
        // A crash is taken back only for names in their one exact form: a run that could not
        // be taken back does not start.
        if (!IsCanonicalPath(target, StepAnsiChar)) {
            char text[kMessageSize];
            wsprintfA(text, "UPDATE.INI : \"%s\" はファイルの名前として正しくありません",
                      item.path);
            ShowUpdaterError(text);
            return 0;
        }
    }
    return 1;
}

// The disc probe of every disc the copies may look for must fit a path, or the search would
// skip every drive and the insert-disc prompt come back for ever.
int CheckDiscProbes() {
    for (int i = 0; i < CopyList.count; ++i) {
        const char* check = InstallSettings.DiskCheckFile[CopyList.items[i].disc];
        char probe[kPathSize] = "A:";
        if (!JoinPath(probe, check)) {
            ShowPathTooLong("A:", check);
            return 0;
        }
    }
    return 1;
}

// A copy first lands in a folder of the run's own inside the install folder, then moves to its
// place: both paths must fit.
int CheckCopyDestinations() {
    for (int i = 0; i < CopyList.count; ++i) {
        const char* path = CopyList.items[i].path;
        if (!StaysInside(path))
            return 0;
        char source[kPathSize] = "A:";
        char destination[kPathSize];
        strcpy(destination, InstallRecord.InstPath);
        if (!JoinPath(source, path)) {
            ShowPathTooLong("A:", path);
            return 0;
        }
        if (!JoinPath(destination, path) || strlen(destination) + kRunNameRoom >= kPathSize) {
            ShowPathTooLong(InstallRecord.InstPath, path);
            return 0;
        }
    }
    return 1;
}

} // namespace

int CheckRunPaths() {
    return CheckUpdateTargets() && CheckCopyDestinations() && CheckDiscProbes();
}

int CanBeReplaced(const char* target) {
    // Renaming needs delete access; a program holding the file without delete sharing denies
    // it, and then the swap could not be made.
    HANDLE h = GateOpen(target, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        kGateExistingFile);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    PlatformOps.CloseHandle(h);
    return 1;
}

int ShowCannotReplace(const char* format, const char* path) {
    char text[kMessageSize];
    wsprintfA(text, format, path);
    ShowUpdaterError(text);
    return 0;
}

int ShowOtherVersion(const char* path) {
    return ShowCannotReplace("アップデートエラー：「%s」がアップデート対象のバージョンと違います",
                             path);
}

void ToFullPath(char path[kPathSize]) {
    char full[kPathSize];
    const DWORD length = GetFullPathNameA(path, kPathSize, full, nullptr);
    if (length > 0 && length < kPathSize)
        strcpy(path, full);
}
