#include "update/staged_set.h"

#include <string.h>

#include "archive/sha256.h"
#include "core/file_gate.h"
#include "core/platform_ops.h"
#include "core/platform_text.h"
#include "update/flush_behind.h"
#include "update/progress.h"
#include "update/seal_thread.h"

StagedSetData StagedSet;

namespace {

int NextRandom(uint32_t* value) {
    return DirectOps.RandomBytes(value, sizeof *value) ? 1 : 0;
}

int Grow() {
    const uint32_t capacity = StagedSet.capacity ? StagedSet.capacity * 2 : 32;
    JournalAction* actions = (JournalAction*)AllocFixed(capacity * sizeof(JournalAction));
    ActionState* states = (ActionState*)AllocFixed(capacity * sizeof(ActionState));
    if (!actions || !states) {
        FreeFixed(actions);
        FreeFixed(states);
        return 0;
    }
    if (StagedSet.count) {
        memcpy(actions, StagedSet.actions, StagedSet.count * sizeof(JournalAction));
        memcpy(states, StagedSet.states, StagedSet.count * sizeof(ActionState));
    }
    FreeFixed(StagedSet.actions);
    FreeFixed(StagedSet.states);
    StagedSet.actions = actions;
    StagedSet.states = states;
    StagedSet.capacity = capacity;
    return 1;
}

} // namespace

void ResetStagedSet() {
    StopFlushBehind();
    for (uint32_t i = 0; i < StagedSet.count; ++i) {
        if (StagedSet.states[i].file)
            PlatformOps.CloseHandle(StagedSet.states[i].file);
    }
    GateReleaseRun();
    StopSealThread();
    FreeFixed(StagedSet.actions);
    FreeFixed(StagedSet.states);
    memset(&StagedSet, 0, sizeof StagedSet);
}

JournalAction* AddAction(uint32_t kind, const char* target) {
    if (StagedSet.count == StagedSet.capacity && !Grow())
        return nullptr;
    JournalAction* a = &StagedSet.actions[StagedSet.count];
    memset(a, 0, sizeof *a);
    memset(&StagedSet.states[StagedSet.count], 0, sizeof(ActionState));
    ++StagedSet.count;
    a->kind = kind;
    lstrcpynA(a->target, target, sizeof a->target);
    return a;
}

ActionState* StateOf(const JournalAction* action) {
    return &StagedSet.states[action - StagedSet.actions];
}

void DropAction(JournalAction* action) {
    const uint32_t i = (uint32_t)(action - StagedSet.actions);
    if (StagedSet.states[i].step == kStaged)
        DiscardStaged(action);
    const uint32_t after = StagedSet.count - i - 1;
    memmove(&StagedSet.actions[i], &StagedSet.actions[i + 1], after * sizeof(JournalAction));
    memmove(&StagedSet.states[i], &StagedSet.states[i + 1], after * sizeof(ActionState));
    --StagedSet.count;
}

JournalAction* FindReplacement(const char* target) {
    for (uint32_t i = StagedSet.count; i-- > 0;) {
        JournalAction* a = &StagedSet.actions[i];
        if (a->kind == kReplaceFile && lstrcmpiA(a->target, target) == 0)
            return a;
    }
    return nullptr;
}

int SiblingName(const char* path, const char* extension, char out[kPathSize]) {
    const size_t folder = FolderPartLength(path);
    if (folder + 3 + 8 + strlen(extension) >= kPathSize)
        return 0;
    for (int attempt = 0; attempt < 64; ++attempt) {
        uint32_t random;
        if (!NextRandom(&random))
            return 0;
        memcpy(out, path, folder);
        wsprintfA(out + folder, "~qv%08x%s", (unsigned)random, extension);
        if (PlatformOps.GetFileAttributesA(out) == INVALID_FILE_ATTRIBUTES)
            return 1;
    }
    return 0;
}

int WriteStaged(JournalAction* action, const uint8_t* data, uint64_t size, DeltaCheckState* check) {
    ActionState* s = StateOf(action);
    // Both threads only read the bytes, which the caller may reuse once the seal has them.
    SealHashBegin(&s->written, check, data, (size_t)size);
    int ok = 1;
    while (size > 0) {
        const DWORD part = size < kWritePartSize ? (DWORD)size : kWritePartSize;
        DWORD written = 0;
        ok = PlatformOps.WriteFile(s->file, data, part, &written, nullptr) && written == part;
        if (!ok)
            break;
        data += part;
        size -= part;
        FlushBehindWritten(s->file, part);
        AdvanceProgress(part);
    }
    SealHashWait();
    return ok;
}

// A new file under a fresh name: whatever stands at the name (a link included, which is never
// followed) makes the creation fail. Held with delete access, for its rename and its removal.
HANDLE CreateStaged(JournalAction* action) {
    HANDLE h = GateOpen(action->staged, GENERIC_WRITE | DELETE, FILE_SHARE_READ, kGateNewFile);
    if (h != INVALID_HANDLE_VALUE) {
        ActionState* s = StateOf(action);
        s->step = kStaged;
        s->file = h;
        Sha256Init(&s->written);
        // Only a help: a file whose room is not reserved is written all the same.
        if (action->newSize)
            GateReserveRoom(h, action->newSize);
    }
    return h;
}

int DiscardStaged(JournalAction* action) {
    ActionState* s = StateOf(action);
    FlushBehindWait();
    int gone;
    if (s->file) {
        gone = GateDeleteHandle(s->file);
        gone = PlatformOps.CloseHandle(s->file) && gone;
        s->file = nullptr;
    } else {
        gone = GateDelete(action->staged) || GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    if (gone)
        s->step = kPlanned;
    return gone;
}

int FinishStaged(JournalAction* action, int ok, const uint8_t* expected) {
    ActionState* s = StateOf(action);
    FlushBehindWait();
    // The bytes must be on the disk before a rename makes them the only copy.
    ok = ok && DirectOps.FlushFileBuffers(s->file);
    Sha256Final(&s->written, action->newDigest);
    ok = ok && (!expected || memcmp(expected, action->newDigest, kSha256Size) == 0);
    if (!ok)
        DiscardStaged(action);
    return ok;
}

int RenameStaged(JournalAction* action) {
    ActionState* s = StateOf(action);
    return s->file && GateRenameHandle(s->file, action->target, 0);
}

int FinishPlaced(JournalAction* action) {
    ActionState* s = StateOf(action);
    // Set in the final place: a file renamed into a recently removed name can inherit that
    // name's old creation time.
    FILETIME t;
    t.dwLowDateTime = (DWORD)s->time;
    t.dwHighDateTime = (DWORD)(s->time >> 32);
    const FILETIME* others = s->creationOnly ? nullptr : &t;
    int done = !s->hasTime || DirectOps.SetFileTime(s->file, &t, others, others);
    if (s->placedAttributes)
        done = done && GateSetHandleAttributes(s->file, s->placedAttributes);
    done = PlatformOps.CloseHandle(s->file) && done;
    s->file = nullptr;
    return done;
}

int StageBytes(JournalAction* action, const uint8_t* data, uint64_t size) {
    if (CreateStaged(action) == INVALID_HANDLE_VALUE)
        return 0;
    return FinishStaged(action, WriteStaged(action, data, size), nullptr);
}

HANDLE OpenTargetForReading(const char* path) {
    return GateOpen(path, GENERIC_READ, FILE_SHARE_READ, kGateExistingFile);
}

int HashFile(const char* path, uint8_t* buffer, uint8_t digest[32]) {
    HANDLE h = OpenTargetForReading(path);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    Sha256Context c;
    Sha256Init(&c);
    DWORD got = 0;
    int ok;
    while ((ok = PlatformOps.ReadFile(h, buffer, kPartSize, &got, nullptr) != 0) && got > 0)
        Sha256Update(&c, buffer, got);
    PlatformOps.CloseHandle(h);
    Sha256Final(&c, digest);
    return ok;
}

CopyResult StageCopyOfTarget(JournalAction* action) {
    HANDLE in = OpenTargetForReading(action->target);
    if (in == INVALID_HANDLE_VALUE)
        return kCopyUnreadable;
    DWORD high = 0;
    SetLastError(NO_ERROR);
    const DWORD low = PlatformOps.GetFileSize(in, &high);
    uint8_t* buffer = (uint8_t*)AllocFixed(kPartSize);
    if ((low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) || !buffer) {
        PlatformOps.CloseHandle(in);
        FreeFixed(buffer);
        return kCopyUnreadable;
    }
    uint64_t left = ((uint64_t)high << 32) | low;
    action->newSize = left;
    HANDLE out = CreateStaged(action);
    if (out == INVALID_HANDLE_VALUE) {
        PlatformOps.CloseHandle(in);
        FreeFixed(buffer);
        return kCopyFailed;
    }
    CopyResult result = kCopied;
    while (left > 0 && result == kCopied) {
        const DWORD part = left < kPartSize ? (DWORD)left : kPartSize;
        DWORD got = 0;
        // A short read counts as unreadable: bytes that were not read are never written back.
        if (!PlatformOps.ReadFile(in, buffer, part, &got, nullptr) || got != part)
            result = kCopyUnreadable;
        else if (!WriteStaged(action, buffer, part))
            result = kCopyFailed;
        left -= part;
    }
    PlatformOps.CloseHandle(in);
    FreeFixed(buffer);
    return FinishStaged(action, result == kCopied, nullptr) ? kCopied
           : result == kCopied                              ? kCopyFailed
                                                            : result;
}

void ReleaseStagingFolder() {}

int CreatePlannedFolder(JournalAction* action) {
    if (StateOf(action)->step != kPlanned)
        return 1;
    if (!GateCreateFolder(action->target))
        return 0;
    StateOf(action)->step = kStaged;
    return 1;
}

int QueryPath(const char* path, DWORD* attributes, uint64_t* size, uint64_t* writeTime) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!DirectOps.GetFileAttributesExA(path, GetFileExInfoStandard, &data))
        return 0;
    *attributes = data.dwFileAttributes;
    *size = ((uint64_t)data.nFileSizeHigh << 32) | data.nFileSizeLow;
    *writeTime =
        ((uint64_t)data.ftLastWriteTime.dwHighDateTime << 32) | data.ftLastWriteTime.dwLowDateTime;
    return 1;
}
