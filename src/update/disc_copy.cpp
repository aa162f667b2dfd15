#include "update/disc_copy.h"

#include <string.h>

#include "core/file_gate.h"
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

// What a copy brings along from the disc besides the bytes: the last-write time always, and for
// the files of a folder copy their attributes.
const DWORD kKeptAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                              FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;

// Copies the disc file at source into the staging folder at staged and makes it the action that
// replaces the file at target (or the file an update item was to write there). The copy is
// written by the run itself, held open from its creation to its rename, and sealed with the
// digest of what was written.
int StageCopiedFile(const char* source, const char* staged, const char* target,
                    const char* relative, bool keepAttributes) {
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
    uint64_t size = 0, time = 0;
    const int exists = QueryPath(target, &attributes, &size, &time);
    if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return CopyFailed(relative);
    if (exists && !CanBeReplaced(target))
        return ShowCannotReplace("「%s」はほかのプログラムが使用しているため置き換えられません",
                                 target);
    HANDLE in = GateOpenToRead(source, GENERIC_READ, FILE_SHARE_READ, 0);
    JournalAction* a = in != INVALID_HANDLE_VALUE ? AddAction(kReplaceFile, target) : nullptr;
    BY_HANDLE_FILE_INFORMATION info;
    uint8_t* buffer = (uint8_t*)AllocFixed(kPartSize);
    int ok = a && buffer && DirectOps.GetFileInformationByHandle(in, &info) &&
             !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    if (ok) {
        a->existed = exists;
        a->oldAttributes = exists ? attributes : 0;
        a->oldSize = size;
        a->oldWriteTime = time;
        a->newSize = ((uint64_t)info.nFileSizeHigh << 32) | info.nFileSizeLow;
        strcpy(a->staged, staged);
        ok = CreateStaged(a) != INVALID_HANDLE_VALUE;
    }
    const int created = ok;
    for (uint64_t left = ok ? a->newSize : 0; ok && left > 0;) {
        const DWORD part = left < kPartSize ? (DWORD)left : kPartSize;
        DWORD got = 0;
        ok = PlatformOps.ReadFile(in, buffer, part, &got, nullptr) && got == part &&
             WriteStaged(a, buffer, part);
        left -= part;
    }
    FreeFixed(buffer);
    if (in != INVALID_HANDLE_VALUE)
        PlatformOps.CloseHandle(in);
    if (created) {
        ActionState* s = StateOf(a);
        ok = ok && DirectOps.SetFileTime(s->file, nullptr, nullptr, &info.ftLastWriteTime);
        s->placedAttributes = keepAttributes ? info.dwFileAttributes & kKeptAttributes : 0;
        ok = FinishStaged(a, ok, nullptr);
    }
    if (!ok && a && !created)
        DropAction(a);
    return ok || CopyFailed(relative);
}

int StageCopiedTree(const char* source, const char* staging, const char* relative,
                    bool keepAttributes);

// One name found on the disc, at relative below the staging folder: a folder is made in the
// staging folder (and, when the game has none, planned in the game before the files that go into
// it), a file is copied.
int StageCopiedName(const char* source, const char* staging, const char* relative, bool folder,
                    bool keepAttributes) {
    char staged[kPathSize], target[kPathSize];
    strcpy(staged, staging);
    strcpy(target, InstallRecord.InstPath);
    if (!JoinPath(staged, relative) || !JoinPath(target, relative))
        return CopyFailed(relative);
    if (!folder)
        return StageCopiedFile(source, staged, target, relative, keepAttributes);
    const DWORD there = PlatformOps.GetFileAttributesA(target);
    if (there != INVALID_FILE_ATTRIBUTES && !(there & FILE_ATTRIBUTE_DIRECTORY))
        return CopyFailed(relative);
    if (there == INVALID_FILE_ATTRIBUTES && !AddAction(kCreateFolder, target))
        return CopyFailed(relative);
    // Made by this run, or refused: a folder or link someone else put there is not ours.
    if (!GateHolds(staged) && !GateCreateFolder(staged))
        return CopyFailed(relative);
    return StageCopiedTree(source, staging, relative, keepAttributes);
}

// Copies everything below the disc folder source into the staging folder at relative.
int StageCopiedTree(const char* source, const char* staging, const char* relative,
                    bool keepAttributes) {
    char pattern[kPathSize];
    strcpy(pattern, source);
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
        char from[kPathSize], inner[kPathSize];
        strcpy(from, source);
        strcpy(inner, relative);
        if (!JoinPath(from, found.cFileName) || !JoinPathTo(inner, found.cFileName))
            ok = CopyFailed(relative[0] ? relative : found.cFileName);
        else
            ok = StageCopiedName(from, staging, inner,
                                 (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                                 keepAttributes);
    } while (ok && DirectOps.FindNextFileA(find, &found));
    DirectOps.FindClose(find);
    return ok;
}

// The folders of a file item's path, made in the staging folder and, where the game lacks them,
// planned in the game.
int StageFoldersOf(const char* staging, const char* path) {
    for (const char* p = path; *p; p = CharNextA(p)) {
        if (*p != '\\' || p == path)
            continue;
        char part[kPathSize], staged[kPathSize], target[kPathSize];
        lstrcpynA(part, path, (int)(p - path) + 1);
        strcpy(staged, staging);
        strcpy(target, InstallRecord.InstPath);
        if (!JoinPath(staged, part) || !JoinPath(target, part))
            return 0;
        const DWORD there = PlatformOps.GetFileAttributesA(target);
        if (there != INVALID_FILE_ATTRIBUTES && !(there & FILE_ATTRIBUTE_DIRECTORY))
            return 0;
        if (there == INVALID_FILE_ATTRIBUTES) {
            bool planned = false;
            for (uint32_t i = 0; i < StagedSet.count && !planned; ++i)
                planned = StagedSet.actions[i].kind == kCreateFolder &&
                          lstrcmpiA(StagedSet.actions[i].target, target) == 0;
            if (!planned && !AddAction(kCreateFolder, target))
                return 0;
        }
        if (!GateHolds(staged) && !GateCreateFolder(staged))
            return 0;
    }
    return 1;
}

// Copies one item into the staging folder: a file keeps its path below it; a folder lands in it
// under its own last name with everything in it; a pattern's matches land in it directly.
int CopyItemToStaging(HWND dialog, const CopyItem& item, const char* staging) {
    char source[kPathSize];
    strcpy(source, DiscRoot);
    if (!JoinPath(source, item.path))
        return CopyFailed(item.path);
    SetInfoText(dialog, "%s をコピーしています", item.path);
    const DWORD attributes = PlatformOps.GetFileAttributesA(source);
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        // The copy arrives with normal attributes: the disc's read-only mark is not kept.
        return (StageFoldersOf(staging, item.path) || CopyFailed(item.path)) &&
               StageCopiedName(source, staging, item.path, false, false);
    }
    // A folder or a pattern: each match under its own name, files keeping their attributes.
    WIN32_FIND_DATAA found;
    HANDLE find = DirectOps.FindFirstFileA(source, &found);
    if (find == INVALID_HANDLE_VALUE)
        return CopyFailed(item.path);
    char folder[kPathSize];
    strcpy(folder, source);
    const size_t cut = FolderPartLength(folder);
    folder[cut > 0 ? cut - 1 : 0] = 0;
    int ok = 1, any = 0;
    do {
        if (!strcmp(found.cFileName, ".") || !strcmp(found.cFileName, ".."))
            continue;
        char from[kPathSize];
        strcpy(from, folder);
        any = 1;
        ok = (JoinPath(from, found.cFileName) || CopyFailed(item.path)) &&
             StageCopiedName(from, staging, found.cFileName,
                             (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0, true);
    } while (ok && DirectOps.FindNextFileA(find, &found));
    DirectOps.FindClose(find);
    if (!ok)
        return 0;
    if (!any)
        return CopyFailed(item.path);
    return RecordFolderAttributes(InstallRecord.InstPath) || CopyFailed(item.path);
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
    return 1;
}
