#include "core/game_folder.h"

#include <windows.h>

#include <string.h>

#include "core/folder_handles.h"
#include "core/messages.h"
#include "core/path_form.h"
#include "core/platform_ops.h"
#include "core/platform_text.h"

namespace {

// The one form of a folder (see core/path_form.h): full, with long names, without a backslash at
// the end unless it is a drive root. An empty folder becomes the root of the current drive, the
// place an empty folder joined with a name leads to. 0 when no such form exists.
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

enum FolderJudgement { kFolderFits, kFolderNoForm, kFolderInWindows };

// Where a folder in its exact form stands against the Windows folder, by its name and by where
// a link on its way leads. A folder that is there but whose real place cannot be learnt might
// lead anywhere: kFolderNoForm.
FolderJudgement JudgeExact(const char* exact) {
    char windows[kPathSize], windowsExact[kPathSize], final[kPathSize];
    const UINT length = GetWindowsDirectoryA(windows, sizeof windows);
    const int known = length > 0 && length < sizeof windows && ExactFolder(windows, windowsExact);
    if (known && IsSameOrInside(exact, windowsExact))
        return kFolderInWindows;
    if (!FinalFolder(exact, final))
        return PlatformOps.GetFileAttributesA(exact) == INVALID_FILE_ATTRIBUTES ? kFolderFits
                                                                                : kFolderNoForm;
    return known && IsSameOrInside(final, windowsExact) ? kFolderInWindows : kFolderFits;
}

FolderJudgement Judge(const char* folder, char exact[kPathSize]) {
    if (!ExactFolder(folder, exact))
        return kFolderNoForm;
    return JudgeExact(exact);
}

} // namespace

int LiesInWindowsFolder(const char* exact) {
    return JudgeExact(exact) != kFolderFits;
}

int SettleGameFolder(char folder[kPathSize]) {
    char exact[kPathSize], text[kMessageSize];
    switch (Judge(folder, exact)) {
    case kFolderNoForm:
        wsprintfA(text, "「%s」はフォルダの名前として正しくないため、アップデートできません",
                  folder);
        ShowUpdaterError(text);
        return 0;
    case kFolderInWindows:
        wsprintfA(text, "「%s」は Windows のフォルダの中にあるため、アップデートできません",
                  folder);
        ShowUpdaterError(text);
        return 0;
    default:
        strcpy(folder, exact);
        return 1;
    }
}

void SettleUnusedFolder(char folder[kPathSize]) {
    char exact[kPathSize];
    if (!folder[0])
        return;
    if (Judge(folder, exact) == kFolderFits)
        strcpy(folder, exact);
    else
        folder[0] = 0;
}
