#include "update/commit.h"

#include <string.h>

#include "archive/sha256.h"
#include "core/file_gate.h"
#include "core/folder_handles.h"
#include "core/messages.h"
#include "core/path_form.h"
#include "core/platform_ops.h"
#include "core/platform_text.h"
#include "core/run_state.h"
#include "update/emptied_folders.h"
#include "update/journal_key.h"
#include "update/staged_set.h"

const char kJournalValueName[] = "UpdateJournal";
const char kRefusedJournalValueName[] = "UpdateJournalRefused";

namespace {

// Set once this run's journal is kept, until it is removed.
int JournalWritten = 0;

int Exists(const char* path) {
    return PlatformOps.GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
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
    return OutlastingAHold(
        [&] { return GateRename(from, to, (flags & MOVEFILE_REPLACE_EXISTING) != 0); });
}

int Delete(const char* path) {
    return OutlastingAHold([&] { return GateDelete(path); });
}

int RemoveLink(const char* path);

// Read-only files cannot be deleted: the gate clears the attribute first, on the file's own
// handle, never through a link.
int DeleteAnyFile(const char* path) {
    const DWORD attributes = PlatformOps.GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return RemoveLink(path);
    return Delete(path);
}

int IsLink(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// A link is removed as itself, never what it leads to.
int RemoveLink(const char* path) {
    return GateRemoveLink(path) && PlatformOps.GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES;
}

// Where an open handle of path really is, a link at path itself named rather than followed.
int FinalPath(const char* path, char out[kPathSize]) {
    return FinalPathOf(path, FILE_FLAG_OPEN_REPARSE_POINT, out);
}

} // namespace

int ReachedWithoutLinks(const char* path, const char* folder) {
    const size_t base = strlen(folder);
    char finalFolder[kPathSize], probe[kPathSize], final[kPathSize], expected[kPathSize];
    if (strncmp(path, folder, base) != 0 || !FinalPath(folder, finalFolder))
        return 0;
    lstrcpynA(probe, path, kPathSize);
    // The deepest part of path that exists: its final path covers every name above it.
    while (strlen(probe) > base) {
        if (FinalPath(probe, final)) {
            strcpy(expected, finalFolder);
            const char* rest = probe + base;
            if (*rest == '\\')
                ++rest;
            return JoinPath(expected, rest) && lstrcmpiA(final, expected) == 0;
        }
        if (GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND)
            return 0;
        const size_t cut = FolderPartLength(probe);
        probe[cut > 0 ? cut - 1 : 0] = 0;
    }
    return 1;
}

// 1 when path is no link the platform leaves unmarked (its final path is its folder's and
// its own name).
static int IsWhereItsNameSays(const char* path) {
    char parent[kPathSize];
    lstrcpynA(parent, path, kPathSize);
    const size_t cut = FolderPartLength(parent);
    parent[cut > 3 ? cut - 1 : cut] = 0;
    return ReachedWithoutLinks(path, parent);
}

int RemoveTree(const char* folder) {
    const DWORD attributes = PlatformOps.GetFileAttributesA(folder);
    if (IsLink(attributes))
        return RemoveLink(folder);
    if (!IsWhereItsNameSays(folder))
        return 0;
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
            else if (IsLink(found.dwFileAttributes))
                ok &= RemoveLink(path);
            else if (!ReachedWithoutLinks(path, folder))
                ok = 0; // a link the platform does not mark: left as it is, never followed
            else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                ok &= RemoveTree(path);
            else
                ok &= DeleteAnyFile(path);
        } while (DirectOps.FindNextFileA(find, &found));
        DirectOps.FindClose(find);
    }
    return GateRemoveFolder(folder) && ok;
}

namespace {

// Keeps the journal of the staged set in the given state, replacing what was kept before in one
// step, and flushes it: the next start finds this journal or the one before, never a mixture.
int StoreJournal(uint32_t state) {
    JournalFolders folders;
    folders.state = state;
    strcpy(folders.install, InstallRecord.InstPath);
    strcpy(folders.data, InstallRecord.DataPath);
    const size_t size = JournalSize(folders, StagedSet.actions, StagedSet.count);
    uint8_t* bytes = (uint8_t*)AllocFixed(size);
    if (!bytes)
        return 0;
    WriteJournal(folders, StagedSet.actions, StagedSet.count, bytes);
    HKEY key;
    int ok = size <= kMaxJournalBytes && OpenJournalKeyForWriting(&key);
    if (ok) {
        ok = PlatformOps.RegSetValueExA(key, kJournalValueName, 0, REG_BINARY, bytes,
                                        (DWORD)size) == ERROR_SUCCESS;
        if (ok)
            JournalWritten = 1;
        // The committed mark counts once set: the change is made, and taking it back now would
        // leave a journal saying otherwise. Any earlier journal must be on the disk for sure.
        ok = ok && (PlatformOps.RegFlushKey(key) == ERROR_SUCCESS || state == kJournalCommitted);
        PlatformOps.RegCloseKey(key);
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
        if (!GateSetAttributes(a->target, FILE_ATTRIBUTE_NORMAL))
            return 0;
        s->step = kStaged;
        return 1;
    case kReplaceFile: {
        if (a->existed) {
            if (!Rename(a->target, a->backup, MOVEFILE_WRITE_THROUGH))
                return 0;
            s->step = kBackedUp;
        }
        // The staged file is renamed by its own handle, held since it was created.
        if (!OutlastingAHold([&] { return RenameStaged(a) != 0; }))
            return 0;
        s->step = kInPlace;
        return FinishPlaced(a);
    }
    case kDeleteFile:
        // Moved aside, not deleted: an undo puts it back.
        if (!Rename(a->target, a->backup, MOVEFILE_WRITE_THROUGH))
            return 0;
        s->step = kBackedUp;
        return 1;
    case kRemoveFolder:
        // Empty once the deletions in it moved their files aside; anything else in it (a file
        // the payload does not name) keeps it, and the run is undone. Gone only when it is gone:
        // a removal the platform takes and then drops at the close leaves the folder standing.
        if (!OutlastingAHold([&] { return GateRemoveFolder(a->target); }) || Exists(a->target))
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
        // Back over whatever another program put at the name meanwhile (a link included, which
        // the rename replaces as a name, never following it).
        if (step >= kBackedUp && a->existed &&
            !Rename(a->backup, a->target, MOVEFILE_WRITE_THROUGH | MOVEFILE_REPLACE_EXISTING))
            return 0;
        if ((step == kStaged || step == kBackedUp) && !DiscardStaged(const_cast<JournalAction*>(a)))
            return 0;
        return 1;
    }
    case kDeleteFile:
        return step < kBackedUp ||
               Rename(a->backup, a->target, MOVEFILE_WRITE_THROUGH | MOVEFILE_REPLACE_EXISTING);
    case kCreateFolder:
        // A folder that someone else has put files into since stays.
        if (step >= kStaged)
            GateRemoveFolder(a->target);
        return 1;
    case kRemoveFolder:
        return step < kBackedUp || GateCreateFolder(a->target) ||
               (PlatformOps.GetFileAttributesA(a->target) & FILE_ATTRIBUTE_DIRECTORY) ==
                   FILE_ATTRIBUTE_DIRECTORY;
    case kStagingFolder:
        ReleaseStagingFolder();
        return step < kStaged || RemoveTree(a->target);
    case kFolderAttributes:
        return step < kStaged || GateSetAttributes(a->target, a->oldAttributes);
    default:
        return 1;
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
            if (a.kind == kStagingFolder)
                ReleaseStagingFolder();
            const int removed = a.kind == kStagingFolder       ? RemoveTree(leftover)
                                : IsWhereItsNameSays(leftover) ? DeleteAnyFile(leftover)
                                                               : 0;
            failed |= !removed;
        }
        if (!failed)
            break;
    }
    return !failed;
}

// Once the change is made, the folders that deleted files leave empty go too, innermost first,
// up to and never including the install folder, the data folder or a folder holding either.
// Only an empty folder can be removed, and a folder that held a deleted file was not empty
// before the run: nothing of anyone else's goes.
void RemoveEmptiedFolders(const JournalAction* actions, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        if (actions[i].kind != kDeleteFile)
            continue;
        char folder[kPathSize];
        strcpy(folder, actions[i].target);
        for (;;) {
            const size_t cut = FolderPartLength(folder);
            if (cut == 0)
                break;
            folder[cut - 1] = 0;
            if (!MayRemoveEmptiedFolder(folder, InstallRecord.InstPath, InstallRecord.DataPath,
                                        StepAnsiChar) ||
                !GateRemoveFolder(folder))
                break;
        }
    }
}

// Tried once more on failure, as the removal of a file is.
int RemoveJournal() {
    HKEY key;
    if (PlatformOps.RegOpenKeyExA(HKEY_LOCAL_MACHINE, InstallRecord.KeyPath, 0, KEY_SET_VALUE,
                                  &key) != ERROR_SUCCESS)
        return 1; // no key, no journal
    int ok = 0;
    for (int attempt = 0; attempt < 2 && !ok; ++attempt) {
        const LSTATUS removed = PlatformOps.RegDeleteValueA(key, kJournalValueName);
        ok = (removed == ERROR_SUCCESS || removed == ERROR_FILE_NOT_FOUND) &&
             PlatformOps.RegFlushKey(key) == ERROR_SUCCESS;
    }
    PlatformOps.RegCloseKey(key);
    if (ok) {
        JournalWritten = 0;
        RemoveJournalKeysMade();
    }
    return ok;
}

int IsExactPath(const char* path) {
    if (!IsCanonicalPath(path, StepAnsiChar))
        return 0;
    char full[kPathSize];
    const DWORD length = GetFullPathNameA(path, sizeof full, full, nullptr);
    return length > 0 && length < sizeof full && strcmp(full, path) == 0;
}

const JournalAction* ActionAbove(const JournalAction* actions, uint32_t from, uint32_t to,
                                 uint32_t kind, const char* path) {
    for (uint32_t i = to; i-- > from;) {
        const char* above = actions[i].target;
        const int length = lstrlenA(above);
        if (actions[i].kind == kind && lstrlenA(path) >= length &&
            (path[length] == 0 || path[length] == '\\') &&
            CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, path, length, above, length) ==
                CSTR_EQUAL)
            return &actions[i];
    }
    return nullptr;
}

int PutJournalInForce() {
    for (uint32_t i = 0; i < StagedSet.count; ++i) {
        JournalAction* a = &StagedSet.actions[i];
        const JournalAction* removed =
            a->kind == kDeleteFile
                ? ActionAbove(StagedSet.actions, i + 1, StagedSet.count, kRemoveFolder, a->target)
                : nullptr;
        if (((a->kind == kReplaceFile && a->existed) || a->kind == kDeleteFile) && !a->backup[0] &&
            !SiblingName(removed ? removed->target : a->target, ".old", a->backup))
            return 0;
    }
    return StoreJournal(kJournalInForce);
}

int CommitStagedSet() {
    // What each new file is (its seal, taken as it was written) goes into the journal before
    // the first target is touched.
    if (!StoreJournal(kJournalInForce))
        return 0;
    for (uint32_t i = 0; i < StagedSet.count; ++i) {
        if (!ReplaceOne(&StagedSet.actions[i]))
            return 0;
    }
    if (!StoreJournal(kJournalCommitted))
        return 0;
    // The change is made. What is left over now only costs space: the next start removes it,
    // the folders deletions emptied included, as long as the journal stays.
    if (RemoveOldCopies(StagedSet.actions, StagedSet.count)) {
        RemoveEmptiedFolders(StagedSet.actions, StagedSet.count);
        RemoveJournal();
    }
    JournalWritten = 0;
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
    if (JournalWritten && ok)
        ok = RemoveJournal();
    return ok;
}
