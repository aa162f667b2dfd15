#include "update/run_checks.h"

#include <windows.h>

#include <string.h>

#include "archive/archive.h"
#include "core/folder_handles.h"
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

int CheckUpdateTargets() {
    if (UpdateList.count > 0 && !StaysInside(UpdaterConfig.DataFolder))
        return 0;
    for (int i = 0; i < UpdateList.count; ++i) {
        const UpdateItem& item = UpdateList.items[i];
        char folder[kPathSize], target[kPathSize];
        if (!StaysInside(item.path) || !TargetOf(item, folder, target))
            return 0;
        if (!HasRoomToWrite(target)) {
            ShowPathTooLong(folder, item.path);
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

// 1 when path is folder or lies inside it, compared as the platform compares names.
int IsSameOrInside(const char* path, const char* folder) {
    const size_t length = strlen(folder);
    if (strlen(path) < length)
        return 0;
    char head[kPathSize];
    lstrcpynA(head, path, (int)length + 1);
    if (lstrcmpiA(head, folder) != 0)
        return 0;
    return path[length] == 0 || path[length] == '\\' || folder[length - 1] == '\\';
}

// Where the folder really is, links followed.
int FinalFolder(const char* folder, char out[kPathSize]) {
    return FinalPathOf(folder, 0, out);
}

} // namespace

int ExactFolder(const char* folder, char out[kPathSize]) {
    char full[kPathSize];
    const DWORD length = GetFullPathNameA(folder[0] ? folder : "\\", kPathSize, full, nullptr);
    if (length == 0 || length >= kPathSize)
        return 0;
    // Short aliases are expanded where the folder exists; a folder still missing keeps its names.
    const DWORD longLength = GetLongPathNameA(full, out, kPathSize);
    if (longLength == 0 || longLength >= kPathSize)
        strcpy(out, full);
    DropTrailingBackslash(out, StepAnsiChar);
    return IsCanonicalPath(out, StepAnsiChar);
}

int LiesInWindowsFolder(const char* exact) {
    char windows[kPathSize], windowsExact[kPathSize], final[kPathSize];
    const UINT length = GetWindowsDirectoryA(windows, sizeof windows);
    const int known = length > 0 && length < sizeof windows && ExactFolder(windows, windowsExact);
    return known && (IsSameOrInside(exact, windowsExact) ||
                     (FinalFolder(exact, final) && IsSameOrInside(final, windowsExact)));
}

int CheckRunPaths() {
    return CheckUpdateTargets() && CheckCopyDestinations() && CheckDiscProbes();
}

int CanBeReplaced(const char* target) {
    // Renaming needs delete access; a program holding the file without delete sharing denies
    // it, and then the swap could not be made.
    HANDLE h = PlatformOps.CreateFileA(target, DELETE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
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

void ToFullPath(char path[kPathSize]) {
    char full[kPathSize];
    const DWORD length = GetFullPathNameA(path, kPathSize, full, nullptr);
    if (length > 0 && length < kPathSize)
        strcpy(path, full);
}
