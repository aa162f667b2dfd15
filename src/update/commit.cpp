#include "update/commit.h"

#include <string.h>

#include "core/messages.h"
#include "core/platform_ops.h"
#include "core/platform_text.h"
#include "core/run_state.h"
#include "update/staged_set.h"

namespace {

// Set once this run's journal file exists, until it is removed.
int JournalWritten = 0;

int Exists(const char* path) {
    return PlatformOps.GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

// All three times, or the creation time alone.
int SetTimes(const char* path, uint64_t time, bool creationOnly) {
    FILETIME t;
    t.dwLowDateTime = (DWORD)time;
    t.dwHighDateTime = (DWORD)(time >> 32);
    HANDLE h = PlatformOps.CreateFileA(path, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    const FILETIME* others = creationOnly ? nullptr : &t;
    const int ok = DirectOps.SetFileTime(h, &t, others, others) ? 1 : 0;
    return PlatformOps.CloseHandle(h) && ok;
}

// Another program may hold a file for a moment (a virus scanner reading what was just
// written, an indexer): a rename or removal it refuses is tried again for a while before the
// run gives up on it.
const DWORD kHoldWaitMs = 5000;
const DWORD kHoldPauseMs = 20;

template <typename Op> int OutlastingAHold(Op op) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (op())
            return 1;
        const DWORD error = GetLastError();
        if ((error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION) ||
            GetTickCount() - start >= kHoldWaitMs)
            return 0;
        Sleep(kHoldPauseMs);
    }
}

int Rename(const char* from, const char* to, DWORD flags) {
    return OutlastingAHold([&] { return PlatformOps.MoveFileExA(from, to, flags) != 0; });
}

int Delete(const char* path) {
    return OutlastingAHold([&] { return PlatformOps.DeleteFileA(path) != 0; });
}

// Read-only files cannot be deleted: the attribute goes first.
int DeleteAnyFile(const char* path) {
    const DWORD attributes = PlatformOps.GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        PlatformOps.SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
    return Delete(path);
}

// Removes a folder of the run's own with everything in it.
int RemoveTree(const char* folder) {
    char pattern[kPathSize];
    strcpy(pattern, folder);
    if (!JoinPath(pattern, "*"))
        return 0;
    WIN32_FIND_DATAA found;
    HANDLE find = DirectOps.FindFirstFileA(pattern, &found);
    int ok = 1;
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if (!strcmp(found.cFileName, ".") || !strcmp(found.cFileName, ".."))
                continue;
            char path[kPathSize];
            strcpy(path, folder);
            if (!JoinPath(path, found.cFileName))
                ok = 0;
            else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                ok &= RemoveTree(path);
            else
                ok &= DeleteAnyFile(path);
        } while (DirectOps.FindNextFileA(find, &found));
        DirectOps.FindClose(find);
    }
    return DirectOps.RemoveDirectoryA(folder) && ok;
}

// Writes the journal whole under its unfinished name, then puts it in force by a rename, so that
// the journal in force is never one cut short.
int WriteJournalFile(const char* unfinished, const char* path) {
    const size_t size = JournalSize(StagedSet.actions, StagedSet.count);
    uint8_t* bytes = (uint8_t*)AllocFixed(size);
    if (!bytes)
        return 0;
    WriteJournal(StagedSet.actions, StagedSet.count, bytes);
    HANDLE h = PlatformOps.CreateFileA(unfinished, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr);
    int ok = h != INVALID_HANDLE_VALUE;
    if (ok) {
        DWORD written = 0;
        ok = PlatformOps.WriteFile(h, bytes, (DWORD)size, &written, nullptr) && written == size;
        ok = ok && DirectOps.FlushFileBuffers(h);
        ok = PlatformOps.CloseHandle(h) && ok;
        ok = ok && Rename(unfinished, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        if (ok)
            JournalWritten = 1;
        else
            Delete(unfinished);
    }
    FreeFixed(bytes);
    return ok;
}

int ReplaceOne(JournalAction* a) {
    ActionState* s = StateOf(a);
    switch (a->kind) {
    case kCreateFolder:
        return CreatePlannedFolder(a);
    case kFolderAttributes:
        if (!PlatformOps.SetFileAttributesA(a->target, FILE_ATTRIBUTE_NORMAL))
            return 0;
        s->step = kStaged;
        return 1;
    case kReplaceFile:
        if (a->existed) {
            if (!Rename(a->target, a->backup, MOVEFILE_WRITE_THROUGH))
                return 0;
            s->step = kBackedUp;
        }
        if (!Rename(a->staged, a->target, MOVEFILE_WRITE_THROUGH))
            return 0;
        s->step = kInPlace;
        // Set in the final place: a file renamed into a recently removed name can inherit
        // that name's old creation time.
        return !s->hasTime || SetTimes(a->target, s->time, s->creationOnly != 0);
    case kDeleteFile:
        // Moved aside, not deleted: an undo puts it back.
        if (!Rename(a->target, a->backup, MOVEFILE_WRITE_THROUGH))
            return 0;
        s->step = kBackedUp;
        return 1;
    default:
        return 1;
    }
}

int UndoOne(const JournalAction* a, uint8_t step) {
    switch (a->kind) {
    case kReplaceFile: {
        if (step >= kInPlace && !DeleteAnyFile(a->target))
            return 0;
        if (step >= kBackedUp && a->existed &&
            !Rename(a->backup, a->target, MOVEFILE_WRITE_THROUGH))
            return 0;
        if ((step == kStaged || step == kBackedUp) && !DeleteAnyFile(a->staged))
            return 0;
        return 1;
    }
    case kDeleteFile:
        return step < kBackedUp || Rename(a->backup, a->target, MOVEFILE_WRITE_THROUGH);
    case kCreateFolder:
        // A folder that someone else has put files into since stays.
        if (step >= kStaged)
            DirectOps.RemoveDirectoryA(a->target);
        return 1;
    case kStagingFolder:
        return step < kStaged || RemoveTree(a->target);
    case kFolderAttributes:
        return step < kStaged || PlatformOps.SetFileAttributesA(a->target, a->oldAttributes);
    default:
        return 1;
    }
}

int RemoveFileOnceMore(const char* path) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (PlatformOps.DeleteFileA(path))
            return 1;
    }
    return 0;
}

// 1 when folder lies strictly below root.
int IsBelow(const char* folder, const char* root) {
    const size_t length = strlen(root);
    if (!length || strlen(folder) <= length + 1 || folder[length] != '\\')
        return 0;
    char head[kPathSize];
    lstrcpynA(head, folder, (int)length + 1);
    return lstrcmpiA(head, root) == 0;
}

// Once the change is made, the folders that deleted files leave empty go too, innermost first,
// never the game's own folders. Only an empty folder can be removed, and a folder that held a
// deleted file was not empty before the run: nothing of anyone else's goes.
void RemoveEmptiedFolders(const JournalAction* actions, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        if (actions[i].kind != kDeleteFile)
            continue;
        char folder[kPathSize];
        strcpy(folder, actions[i].target);
        for (;;) {
            char* cut = nullptr;
            for (char* p = folder; *p; p = CharNextA(p))
                if (*p == '\\')
                    cut = p;
            if (!cut)
                break;
            *cut = 0;
            if (!IsBelow(folder, InstallRecord.InstPath) &&
                !IsBelow(folder, InstallRecord.DataPath))
                break;
            if (!DirectOps.RemoveDirectoryA(folder))
                break;
        }
    }
}

} // namespace

// A removal that fails is tried once more at the end: a virus scanner, say, may hold a file a
// moment.
int RemoveOldCopies(const JournalAction* actions, uint32_t count) {
    int failed = 0;
    for (int pass = 0; pass < 2; ++pass) {
        failed = 0;
        for (uint32_t i = 0; i < count; ++i) {
            const JournalAction& a = actions[i];
            const char* leftover = (a.kind == kReplaceFile && a.existed) || a.kind == kDeleteFile
                                       ? a.backup
                                   : a.kind == kStagingFolder ? a.target
                                                              : nullptr;
            if (!leftover || !Exists(leftover))
                continue;
            const int removed =
                a.kind == kStagingFolder ? RemoveTree(leftover) : DeleteAnyFile(leftover);
            failed |= !removed;
        }
        if (!failed)
            break;
    }
    return !failed;
}

int JournalPath(const char* name, char out[kPathSize]) {
    strcpy(out, InstallRecord.InstPath);
    return JoinPath(out, name);
}

int PutJournalInForce() {
    char unfinished[kPathSize], journal[kPathSize];
    if (!JournalPath(kUnfinishedJournalName, unfinished) || !JournalPath(kJournalName, journal))
        return 0;
    for (uint32_t i = 0; i < StagedSet.count; ++i) {
        JournalAction* a = &StagedSet.actions[i];
        if (((a->kind == kReplaceFile && a->existed) || a->kind == kDeleteFile) && !a->backup[0] &&
            !SiblingName(a->target, ".old", a->backup))
            return 0;
    }
    return WriteJournalFile(unfinished, journal);
}

int CommitStagedSet() {
    char journal[kPathSize], committed[kPathSize];
    if (!JournalPath(kJournalName, journal) || !JournalPath(kCommittedJournalName, committed))
        return 0;
    for (uint32_t i = 0; i < StagedSet.count; ++i) {
        if (!ReplaceOne(&StagedSet.actions[i]))
            return 0;
    }
    if (!Rename(journal, committed, MOVEFILE_WRITE_THROUGH))
        return 0;
    JournalWritten = 0;
    // The change is made. What is left over now only costs space: the next start removes it.
    if (RemoveOldCopies(StagedSet.actions, StagedSet.count))
        RemoveFileOnceMore(committed);
    RemoveEmptiedFolders(StagedSet.actions, StagedSet.count);
    return 1;
}

int RollBackStagedSet() {
    int ok = 1;

    for (uint32_t i = StagedSet.count; i-- > 0;) {
        const JournalAction* a = &StagedSet.actions[i];
        if (UndoOne(a, StateOf(a)->step))
            StateOf(a)->step = kPlanned;
        else
            ok = 0;
    }
    if (JournalWritten && ok) {
        char journal[kPathSize];
        JournalPath(kJournalName, journal);
        if (RemoveFileOnceMore(journal))
            JournalWritten = 0;
    }
    return ok;
}
