#include "update/disc_copy.h"

#include <string.h>

#include "core/messages.h"
#include "core/platform_ops.h"
#include "core/platform_text.h"
#include "core/run_state.h"
#include "settings/install_settings.h"
#include "update/commit.h"
#include "update/info_text.h"
#include "update/run_checks.h"
#include "update/staged_set.h"
#include "update/update_run.h"

char DiscRoot[3] = "";

namespace {

// The first CD-ROM drive, from A to Z, that holds the disc's check file.
int FindDisc(int disc) {
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        char root[3] = {letter, ':', 0};
        char rootPath[4] = {letter, ':', '\\', 0};
        if (GetDriveTypeA(rootPath) != DRIVE_CDROM)
            continue;
        char probe[kPathSize];
        strcpy(probe, root);
        if (!JoinPath(probe, InstallSettings.DiskCheckFile[disc]))
            continue;
        if (PlatformOps.GetFileAttributesA(probe) != INVALID_FILE_ATTRIBUTES) {
            memcpy(DiscRoot, root, sizeof DiscRoot);
            return 1;
        }
    }
    return 0;
}

// Searches until the disc is found or the user gives up at the prompt.
int WaitForDisc(HWND dialog, int disc) {
    while (!FindDisc(disc)) {
        char text[kMessageSize];
        wsprintfA(text, "ＣＤ－ＲＯＭドライブに「%s」ディスク %i を入れて下さい",
                  GameIdentity.GameTitle, disc);
        if (DirectOps.MessageBoxA(dialog, text, UpdaterCaption, MB_OKCANCEL) != IDOK)
            return 0;
    }
    return 1;
}

int CopyFailed(const char* path) {
    char text[kMessageSize];
    wsprintfA(text, "SETUP.INI : \"%s\" のコピーに失敗しました", path);
    ShowUpdaterError(text);
    return 0;
}

// A relative path grows by one name; an empty one becomes that name.
int JoinPathTo(char* relative, const char* name) {
    if (relative[0])
        return JoinPath(relative, name);
    if ((size_t)lstrlenA(name) >= kPathSize)
        return 0;
    strcpy(relative, name);
    return 1;
}

// The attribute reset of a folder copy falls on the install folder itself: recorded here, made
// at the commit, taken back with the rest.
int RecordFolderAttributes(const char* folder) {
    for (uint32_t i = 0; i < StagedSet.count; ++i) {
        if (StagedSet.actions[i].kind == kFolderAttributes &&
            lstrcmpiA(StagedSet.actions[i].target, folder) == 0)
            return 1;
    }
    DWORD attributes;
    uint64_t size, time;
    if (!QueryPath(folder, &attributes, &size, &time))
        return 0;
    JournalAction* a = AddAction(kFolderAttributes, folder);
    if (a)
        a->oldAttributes = attributes;
    return a != nullptr;
}

// One copied file joins the staged set: it will replace the file at target, or a file an
// update item was to write there.
int StageCopiedFile(const char* staged, const char* target, const char* relative) {
    JournalAction* earlier = FindReplacement(target);
    if (earlier)
        DropAction(earlier);
    // The copies come after the update list, and a file the run writes stays written: a
    // deletion of the same file gives way.
    for (uint32_t i = 0; i < StagedSet.count; ++i) {
        if (StagedSet.actions[i].kind == kDeleteFile &&
            lstrcmpiA(StagedSet.actions[i].target, target) == 0) {
            DropAction(&StagedSet.actions[i]);
            break;
        }
    }
    DWORD attributes;
    uint64_t size = 0, time = 0, newSize, newTime;
    const int exists = QueryPath(target, &attributes, &size, &time);
    if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return CopyFailed(relative);
    if (exists && !CanBeReplaced(target))
        return ShowCannotReplace("「%s」はほかのプログラムが使用しているため置き換えられません",
                                 target);
    JournalAction* a = AddAction(kReplaceFile, target);
    if (!a || !QueryPath(staged, &attributes, &newSize, &newTime))
        return CopyFailed(relative);
    a->existed = exists;
    a->oldAttributes = exists ? attributes : 0;
    a->oldSize = size;
    a->oldWriteTime = time;
    a->newSize = newSize;
    strcpy(a->staged, staged);
    StateOf(a)->step = kStaged;
    return 1;
}

// Walks what the copies left in the staging folder, below relative, into the staged set: each
// file replaces its namesake below the install folder, each missing folder is created.
int StageCopiedTree(const char* staging, const char* relative) {
    char folder[kPathSize], pattern[kPathSize];
    strcpy(folder, staging);
    if (relative[0] && !JoinPath(folder, relative))
        return CopyFailed(relative);
    strcpy(pattern, folder);
    if (!JoinPath(pattern, "*"))
        return CopyFailed(relative);
    WIN32_FIND_DATAA found;
    HANDLE find = DirectOps.FindFirstFileA(pattern, &found);
    if (find == INVALID_HANDLE_VALUE)
        return 1;
    int ok = 1;
    do {
        if (!strcmp(found.cFileName, ".") || !strcmp(found.cFileName, ".."))
            continue;
        char inner[kPathSize] = "", staged[kPathSize], target[kPathSize];
        strcpy(staged, folder);
        strcpy(target, InstallRecord.InstPath);
        if (relative[0])
            strcpy(inner, relative);
        if (!JoinPathTo(inner, found.cFileName) || !JoinPath(staged, found.cFileName) ||
            !JoinPath(target, inner)) {
            ok = CopyFailed(relative[0] ? relative : found.cFileName);
            break;
        }
        // The disc's copies hold no links: one here was put in by another program, and what it
        // leads to must neither be staged nor moved into the game.
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
            !ReachedWithoutLinks(staged, staging)) {
            ok = CopyFailed(inner);
        } else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            const DWORD there = PlatformOps.GetFileAttributesA(target);
            if (there != INVALID_FILE_ATTRIBUTES && !(there & FILE_ATTRIBUTE_DIRECTORY))
                ok = CopyFailed(inner);
            else if (there == INVALID_FILE_ATTRIBUTES && !AddAction(kCreateFolder, target))
                ok = CopyFailed(inner);
            else
                ok = StageCopiedTree(staging, inner);
        } else {
            ok = StageCopiedFile(staged, target, inner);
        }
    } while (ok && DirectOps.FindNextFileA(find, &found));
    DirectOps.FindClose(find);
    return ok;
}

// Copies one item into the staging folder: a file keeps its path below it, a folder lands in
// it under its own last name.
int CopyItemToStaging(HWND dialog, const CopyItem& item, const char* staging) {
    // One byte more than a path: a folder destination is the staging folder itself, and a
    // second NUL must follow it.
    char source[kPathSize], destination[kPathSize + 1];
    strcpy(source, DiscRoot);
    JoinPath(source, item.path);
    strcpy(destination, staging);
    const DWORD attributes = PlatformOps.GetFileAttributesA(source);
    // A failed query counts as a folder too: a missing source, or a pattern the shell
    // expands itself.
    const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (!folder)
        JoinPath(destination, item.path);
    else
        destination[strlen(destination) + 1] = 0; // a one-entry list: a second NUL
    SetInfoText(dialog, "%s をコピーしています", item.path);

    SHFILEOPSTRUCTA op = {};
    op.hwnd = dialog;
    op.wFunc = FO_COPY;
    op.pFrom = source;
    op.pTo = destination;
    op.fFlags = FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR | (folder ? FOF_NOERRORUI : 0);
    const int result = PlatformOps.SHFileOperationA(&op);
    if (op.fAnyOperationsAborted)
        return 0;
    if (result != 0)
        return CopyFailed(item.path);
    // The copy is not in place until its read-only attribute from the disc is gone: a reset
    // that fails fails the copy, and the run is taken back whole.
    if (!folder && !PlatformOps.SetFileAttributesA(destination, FILE_ATTRIBUTE_NORMAL))
        return CopyFailed(item.path);
    return !folder || RecordFolderAttributes(InstallRecord.InstPath) || CopyFailed(item.path);
}

} // namespace

int StageDiscCopies(HWND dialog) {
    JournalAction* folder = nullptr;
    for (uint32_t i = 0; i < StagedSet.count && !folder; ++i) {
        if (StagedSet.actions[i].kind == kStagingFolder)
            folder = &StagedSet.actions[i];
    }
    if (!folder || !CreatePlannedFolder(folder))
        return CopyFailed(CopyList.items[0].path);
    char staging[kPathSize];
    strcpy(staging, folder->target);
    for (int i = 0; i < CopyList.count; ++i) {
        const CopyItem& item = CopyList.items[i];
        // An item without a disc number copies from the disc found last; before any disc was
        // found it looks for disc 0, rather than read from wherever an empty root leads.
        if ((item.disc != 0 || !DiscRoot[0]) && !WaitForDisc(dialog, item.disc))
            return 0;
        if (!CopyItemToStaging(dialog, item, staging))
            return 0;
    }
    SetInfoText(dialog, "%sを実行しています", ModeWord);
    return StageCopiedTree(staging, "");
}
