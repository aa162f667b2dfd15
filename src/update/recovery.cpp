// What the next start does with a journal that a run left behind: the committed one only has
// old copies to remove; the other means the run died while replacing, and every action is taken
// back to where it was before, judged from what stands on the disk. Nothing is touched unless
// the journal is whole, names only places inside the game's folders, and agrees with the files.
#include "update/commit.h"

#include <string.h>

#include "core/messages.h"
#include "core/platform_ops.h"
#include "core/run_state.h"
#include "update/staged_set.h"

namespace {

enum Found { kNothing, kUsable, kDamaged };

// Bounds what a damaged journal file can make the start-up read.
const DWORD kMaxJournalBytes = 64u << 20;

// Reads and checks the journal at path into StagedSet, every step still unknown.
Found LoadJournal(const char* path) {
    if (PlatformOps.GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES)
        return kNothing;
    HANDLE h = PlatformOps.CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return kDamaged;
    DWORD high = 0;
    SetLastError(NO_ERROR);
    const DWORD size = PlatformOps.GetFileSize(h, &high);
    int ok = high == 0 && size <= kMaxJournalBytes && GetLastError() == NO_ERROR;
    uint8_t* bytes = ok ? (uint8_t*)AllocFixed(size) : nullptr;
    DWORD got = 0;
    ok = ok && bytes && PlatformOps.ReadFile(h, bytes, size, &got, nullptr) && got == size;
    PlatformOps.CloseHandle(h);
    uint32_t count = 0;
    ok = ok && CountJournalActions(bytes, size, &count) == kJournalRead;
    ResetStagedSet();
    for (uint32_t i = 0; ok && i < count; ++i)
        ok = AddAction(kReplaceFile, "x") != nullptr;
    ok = ok && ReadJournal(bytes, size, StagedSet.actions, StagedSet.count, &count) == kJournalRead;
    FreeFixed(bytes);
    return ok ? kUsable : kDamaged;
}

// 1 when path lies strictly inside folder (compared as the platform compares names).
int IsInside(const char* path, const char* folder) {
    const size_t length = strlen(folder);
    if (!length || strlen(path) <= length + 1 || path[length] != '\\')
        return 0;
    char head[kPathSize];
    lstrcpynA(head, path, (int)length + 1);
    return lstrcmpiA(head, folder) == 0 && !strstr(path + length, "\\..");
}

int IsInsideGame(const char* path) {
    return IsInside(path, InstallRecord.InstPath) || IsInside(path, InstallRecord.DataPath);
}

// A name the run made itself: somewhere below the game's folders, under the "~qv" prefix.
int IsRunName(const char* path) {
    return IsInsideGame(path) && strstr(path, "\\~qv") != nullptr;
}

int PlacesAreOurs(const JournalAction& a) {
    switch (a.kind) {
    case kReplaceFile:
        return IsInsideGame(a.target) && IsRunName(a.staged) && (!a.existed || IsRunName(a.backup));
    case kStagingFolder:
        return IsRunName(a.target);
    case kDeleteFile:
        return IsInsideGame(a.target) && IsRunName(a.backup);
    case kFolderAttributes:
        return lstrcmpiA(a.target, InstallRecord.InstPath) == 0 || IsInsideGame(a.target);
    default:
        return IsInsideGame(a.target);
    }
}

int IsThere(const char* path) {
    return path[0] && PlatformOps.GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

// How far a replacement got, from what stands on the disk; 0 when the files do not fit any
// point of the replacement.
int JudgeReplacement(const JournalAction& a, uint8_t* step) {
    DWORD attributes;
    uint64_t size, time;
    const int target =
        QueryPath(a.target, &attributes, &size, &time) && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
    const int staged = IsThere(a.staged);
    const int backup = a.existed && IsThere(a.backup);
    const int targetIsOld = target && size == a.oldSize && time == a.oldWriteTime;
    if (staged) {
        *step = backup ? kBackedUp : kStaged;
        if (backup)
            return !target;
        return a.existed ? targetIsOld : !target;
    }
    if (backup) {
        // The new file in place, or already removed by an undo that was itself cut short.
        *step = target ? kInPlace : kBackedUp;
        return !target || size == a.newSize;
    }
    if (a.existed) {
        *step = kPlanned;
        return targetIsOld;
    }
    *step = target ? kInPlace : kPlanned;
    return !target || size == a.newSize;
}

// How far a deletion got: the file still in its place, or moved aside.
int JudgeDeletion(const JournalAction& a, uint8_t* step) {
    DWORD attributes;
    uint64_t size, time;
    const int target =
        QueryPath(a.target, &attributes, &size, &time) && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
    const int backup = IsThere(a.backup);
    *step = backup ? kBackedUp : kPlanned;
    return backup ? !target : target && size == a.oldSize && time == a.oldWriteTime;
}

// The format takes what it names of a and b; the formatter ignores the rest.
void Say(const char* format, const char* a, const char* b, UINT icon) {
    char text[kMessageSize];
    wsprintfA(text, format, a, b);
    DirectOps.MessageBoxA(nullptr, text, UpdaterCaption, MB_OK | icon);
}

// The run died before its change counted: take every action back.
int RestoreFrom(const char* journal) {
    for (uint32_t i = 0; i < StagedSet.count; ++i) {
        const JournalAction& a = StagedSet.actions[i];
        ActionState* s = &StagedSet.states[i];
        int agrees = PlacesAreOurs(a);
        if (agrees && a.kind == kReplaceFile)
            agrees = JudgeReplacement(a, &s->step);
        else if (agrees && a.kind == kDeleteFile)
            agrees = JudgeDeletion(a, &s->step);
        else
            s->step = IsThere(a.target) ? kStaged : kPlanned;
        if (!agrees) {
            Say("前回のアップデートの記録がファイルの状態と一致しないため、ファイルはそのままにしま"
                "した。\r記録：%s\rファイル：%s",
                journal, a.target, MB_ICONERROR);
            return 0;
        }
    }
    if (!RollBackStagedSet() || !PlatformOps.DeleteFileA(journal)) {
        Say("前回のアップデートで変更したファイルを元に戻せませんでした。\r記録：%s", journal, "",
            MB_ICONERROR);
        return 0;
    }
    Say("前回のアップデートが途中で終わっていたため、ゲームのファイルをアップデート前の状態に戻し"
        "ました。",
        "", "", MB_ICONINFORMATION);
    return 1;
}

// The run's change was made: only old copies and the journal remain to be removed.
void FinishFrom(const char* journal) {
    for (uint32_t i = 0; i < StagedSet.count; ++i) {
        if (!PlacesAreOurs(StagedSet.actions[i]))
            return;
    }
    if (RemoveOldCopies(StagedSet.actions, StagedSet.count))
        PlatformOps.DeleteFileA(journal);
}

} // namespace

int RecoverInterruptedRun() {
    char journal[kPathSize], committed[kPathSize], unfinished[kPathSize];
    if (!JournalPath(kJournalName, journal) || !JournalPath(kCommittedJournalName, committed) ||
        !JournalPath(kUnfinishedJournalName, unfinished))
        return 1;
    // Cut short while being written: it was never in force, and nothing followed it.
    if (IsThere(unfinished))
        PlatformOps.DeleteFileA(unfinished);
    int result = 1;
    const char* damaged = nullptr;
    Found found = LoadJournal(committed);
    if (found == kUsable)
        FinishFrom(committed);
    else if (found == kDamaged)
        damaged = committed;
    if (!damaged) {
        found = LoadJournal(journal);
        if (found == kUsable)
            result = RestoreFrom(journal);
        else if (found == kDamaged)
            damaged = journal;
    }
    if (damaged) {
        Say("前回のアップデートの記録が壊れているため、ファイルはそのままにしました。\r記録：%s",
            damaged, "", MB_ICONERROR);
        result = 0;
    }
    ResetStagedSet();
    return result;
}
