// What the next start does with a journal that a run left behind: the committed one only has
// old copies to remove; the other means the run died while replacing, and every action is taken
// back to where it was before, judged from what stands on the disk. Only the journal kept where
// no program of the user can write (update/commit.h) is obeyed, and even that only when every
// path it names is in its exact form, lies below the folders it records, uses the run's own
// names for the run's own files, has no link on the way, and agrees with the files; a file is
// taken for the new one only by its SHA-256. Journal files of older updaters in the install
// folder are not read at all.
#include "update/commit.h"

#include <string.h>

#include "core/file_gate.h"
#include "core/messages.h"
#include "core/path_form.h"
#include "core/platform_ops.h"
#include "core/platform_text.h"
#include "core/run_state.h"
#include "update/staged_set.h"

namespace {

enum Found { kNothing, kUsable, kDamaged };

JournalFolders Folders;
// Where the journal is, for the messages.
char Where[kTextSize];
uint8_t* HashBuffer = nullptr;

// Reads and checks the journal into StagedSet and Folders, every step still unknown.
Found LoadJournal() {
    HKEY key;
    if (PlatformOps.RegOpenKeyExA(HKEY_LOCAL_MACHINE, InstallRecord.KeyPath, 0, KEY_QUERY_VALUE,
                                  &key) != ERROR_SUCCESS)
        return kNothing;
    DWORD type = 0, size = 0;
    const LSTATUS asked =
        PlatformOps.RegQueryValueExA(key, kJournalValueName, nullptr, &type, nullptr, &size);
    if (asked == ERROR_FILE_NOT_FOUND) {
        PlatformOps.RegCloseKey(key);
        return kNothing;
    }
    int ok = asked == ERROR_SUCCESS && type == REG_BINARY && size <= kMaxJournalBytes;
    uint8_t* bytes = ok ? (uint8_t*)AllocFixed(size) : nullptr;
    DWORD got = size;
    ok = ok && bytes &&
         PlatformOps.RegQueryValueExA(key, kJournalValueName, nullptr, &type, bytes, &got) ==
             ERROR_SUCCESS &&
         got == size;
    PlatformOps.RegCloseKey(key);
    uint32_t count = 0;
    ok = ok && CountJournalActions(bytes, size, &count) == kJournalRead;
    ResetStagedSet();
    for (uint32_t i = 0; ok && i < count; ++i)
        ok = AddAction(kReplaceFile, "x") != nullptr;
    ok = ok && ReadJournal(bytes, size, &Folders, StagedSet.actions, StagedSet.count, &count) ==
                   kJournalRead;
    FreeFixed(bytes);
    return ok ? kUsable : kDamaged;
}

int IsLinkAt(const char* path) {
    const DWORD attributes = PlatformOps.GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// The folder of the journal that path lies strictly below, or null.
const char* BaseOf(const char* path) {
    if (!IsExactPath(path))
        return nullptr;
    if (IsStrictlyInside(path, Folders.install))
        return Folders.install;
    if (Folders.data[0] && IsStrictlyInside(path, Folders.data))
        return Folders.data;
    return nullptr;
}

// Exact, below the journal's folders, no link on the way or at the name.
int IsInsideGame(const char* path) {
    const char* base = BaseOf(path);
    return base && ReachedWithoutLinks(path, base);
}

// The staging folder of the journal: exactly a run name in the install folder.
int IsStagingFolder(const char* path) {
    char sibling[kPathSize];
    strcpy(sibling, Folders.install);
    return JoinPath(sibling, "x") && IsExactPath(path) &&
           IsRunNameBeside(path, sibling, ".dir", StepAnsiChar);
}

// A disc copy waits inside the staging folder; everything else beside its target.
int IsStagedName(const char* staged, const char* target) {
    if (IsRunNameBeside(staged, target, ".new", StepAnsiChar))
        return IsExactPath(staged);
    for (uint32_t i = 0; i < StagedSet.count; ++i) {
        const JournalAction& s = StagedSet.actions[i];
        if (s.kind == kStagingFolder && IsStrictlyInside(staged, s.target))
            return IsExactPath(staged) && ReachedWithoutLinks(staged, Folders.install);
    }
    return 0;
}

int PlacesAreOurs(const JournalAction& a) {
    switch (a.kind) {
    case kReplaceFile:
        return IsInsideGame(a.target) && IsStagedName(a.staged, a.target) &&
               ReachedWithoutLinks(a.staged, BaseOf(a.target)) &&
               (a.existed
                    ? IsRunNameBeside(a.backup, a.target, ".old", StepAnsiChar) &&
                          IsExactPath(a.backup) && ReachedWithoutLinks(a.backup, BaseOf(a.target))
                    : !a.backup[0]);
    case kStagingFolder:
        // A link in its place, or in it, is dealt with as it is removed.
        return IsStagingFolder(a.target);
    case kDeleteFile:
        return IsInsideGame(a.target) && !a.staged[0] &&
               IsRunNameBeside(a.backup, a.target, ".old", StepAnsiChar) && IsExactPath(a.backup) &&
               ReachedWithoutLinks(a.backup, BaseOf(a.target));
    case kFolderAttributes:
        return strcmp(a.target, Folders.install) == 0;
    case kCreateFolder:
        return IsInsideGame(a.target);
    default:
        return 0;
    }
}

int IsThere(const char* path) {
    return path[0] && PlatformOps.GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

// 1 when the file at path is the run's new one by its SHA-256.
int IsNewFile(const JournalAction& a) {
    static const uint8_t kNone[32] = {};
    if (!memcmp(a.newDigest, kNone, sizeof kNone))
        return 0; // the journal was kept before the file was staged: it never stood there
    if (!HashBuffer && !(HashBuffer = (uint8_t*)AllocFixed(kPartSize)))
        return 0;
    uint8_t digest[32];
    return HashFile(a.target, HashBuffer, digest) && !memcmp(digest, a.newDigest, sizeof digest);
}

// 1 when a file (not a folder) stands at the action's target; *isOld when it is the file the
// journal recorded there before the run, by its size and time.
int TargetFile(const JournalAction& a, int* isOld) {
    DWORD attributes;
    uint64_t size, time;
    const int file =
        QueryPath(a.target, &attributes, &size, &time) && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
    *isOld = file && size == a.oldSize && time == a.oldWriteTime;
    return file;
}

// How far a replacement got, from what stands on the disk; 0 when the files do not fit any
// point of the replacement.
int JudgeReplacement(const JournalAction& a, uint8_t* step) {
    // A link at any of the names was not put there by a run.
    if (IsLinkAt(a.target) || IsLinkAt(a.staged) || (a.existed && IsLinkAt(a.backup)))
        return 0;
    int targetIsOld;
    const int target = TargetFile(a, &targetIsOld);
    const int staged = IsThere(a.staged);
    const int backup = a.existed && IsThere(a.backup);
    if (staged) {
        *step = backup ? kBackedUp : kStaged;
        if (backup)
            return !target;
        return a.existed ? targetIsOld : !target;
    }
    if (backup) {
        // The new file in place, or already removed by an undo that was itself cut short.
        *step = target ? kInPlace : kBackedUp;
        return !target || IsNewFile(a);
    }
    if (a.existed) {
        *step = kPlanned;
        return targetIsOld;
    }
    *step = target ? kInPlace : kPlanned;
    return !target || IsNewFile(a);
}

// How far a deletion got: the file still in its place, or moved aside.
int JudgeDeletion(const JournalAction& a, uint8_t* step) {
    if (IsLinkAt(a.target) || IsLinkAt(a.backup))
        return 0;
    int targetIsOld;
    const int target = TargetFile(a, &targetIsOld);
    const int backup = IsThere(a.backup);
    *step = backup ? kBackedUp : kPlanned;
    return backup ? !target : targetIsOld;
}

// The format takes what it names of a and b; the formatter ignores the rest.
void Say(const char* format, const char* a, const char* b, UINT icon) {
    char text[kMessageSize];
    wsprintfA(text, format, a, b);
    DirectOps.MessageBoxA(nullptr, text, UpdaterCaption, MB_OK | icon);
}

// 1 when the journal's folders are exact and every path it names is one of the run's own.
int AllPlacesAreOurs(const JournalAction** stray) {
    *stray = nullptr;
    if (!IsExactPath(Folders.install) || (Folders.data[0] && !IsExactPath(Folders.data)))
        return 0;
    for (uint32_t i = 0; i < StagedSet.count; ++i) {
        if (!PlacesAreOurs(StagedSet.actions[i])) {
            *stray = &StagedSet.actions[i];
            return 0;
        }
    }
    return 1;
}

// The journal's folders, held by the file gate: every act of the recovery lies beneath them.
int HoldJournalFolders() {
    return GateHoldBase(Folders.install, 0) && (!Folders.data[0] || GateHoldBase(Folders.data, 0));
}

int Disagrees(const char* target) {
    Say("前回のアップデートの記録がファイルの状態と一致しないため、ファイルはそのままにしました。"
        "\r記録：%s\rファイル：%s",
        Where, target, MB_ICONERROR);
    return 0;
}

// The run died before its change counted: take every action back.
int RestoreFrom() {
    const JournalAction* stray;
    if (!AllPlacesAreOurs(&stray) || !HoldJournalFolders())
        return Disagrees(stray ? stray->target : Folders.install);
    for (uint32_t i = 0; i < StagedSet.count; ++i) {
        const JournalAction& a = StagedSet.actions[i];
        ActionState* s = &StagedSet.states[i];
        int agrees = 1;
        if (a.kind == kReplaceFile)
            agrees = JudgeReplacement(a, &s->step);
        else if (a.kind == kDeleteFile)
            agrees = JudgeDeletion(a, &s->step);
        else
            s->step = IsThere(a.target) ? kStaged : kPlanned;
        if (!agrees)
            return Disagrees(a.target);
    }
    if (!RollBackStagedSet() || !RemoveJournal()) {
        Say("前回のアップデートで変更したファイルを元に戻せませんでした。\r記録：%s", Where, "",
            MB_ICONERROR);
        return 0;
    }
    Say("前回のアップデートが途中で終わっていたため、ゲームのファイルをアップデート前の状態に戻し"
        "ました。",
        "", "", MB_ICONINFORMATION);
    return 1;
}

// The run's change was made: only old copies and the journal remain to be removed.
void FinishFrom() {
    const JournalAction* stray;
    if (AllPlacesAreOurs(&stray) && HoldJournalFolders() &&
        RemoveOldCopies(StagedSet.actions, StagedSet.count))
        RemoveJournal();
}

} // namespace

int RecoverInterruptedRun() {
    wsprintfA(Where, "HKEY_LOCAL_MACHINE\\%s\\%s", InstallRecord.KeyPath, kJournalValueName);
    int result = 1;
    const Found found = LoadJournal();
    if (found == kUsable && Folders.state == kJournalCommitted)
        FinishFrom();
    else if (found == kUsable)
        result = RestoreFrom();
    else if (found == kDamaged) {
        Say("前回のアップデートの記録が壊れているため、ファイルはそのままにしました。\r記録：%s",
            Where, "", MB_ICONERROR);
        result = 0;
    }
    FreeFixed(HashBuffer);
    HashBuffer = nullptr;
    ResetStagedSet();
    return result;
}
