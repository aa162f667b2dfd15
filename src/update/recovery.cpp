// What the next start does with a journal that a run left behind: the committed one only has
// old copies and emptied folders to remove; the other means the run died while replacing, and
// every action is taken back to where it was before, judged from what stands on the disk. Only a
// journal whose key no other account can change (update/journal_key.h) is obeyed, and even that
// only when its folders are today's, and every path it names is in its exact form, lies below
// those folders, uses the run's own names for the run's own files, has no link on the way, and
// agrees with the files; a file is taken for the new one only by its SHA-256. Any other journal
// is said once and kept aside, and the start goes on. Journal files of older updaters in the
// install folder are not read at all.
#include "update/commit.h"

#include <string.h>

#include "core/file_gate.h"
#include "core/game_folder.h"
#include "core/messages.h"
#include "core/path_form.h"
#include "core/platform_ops.h"
#include "core/platform_text.h"
#include "core/run_state.h"
#include "update/journal_key.h"
#include "update/run_checks.h"
#include "update/staged_set.h"

namespace {

enum Found { kNothing, kUsable, kDamaged, kUntrusted };

JournalFolders Folders;
// Where the journal is, and where a refused one is kept aside, for the messages.
char Where[kTextSize];
char AsideWhere[kTextSize];
uint8_t* HashBuffer = nullptr;
// The journal's bytes as read, kept aside as they are when it is refused.
uint8_t* Raw = nullptr;
DWORD RawSize = 0;
DWORD RawType = REG_BINARY;

// Reads the journal's bytes, whatever they are, when its key is one only the system and the
// administrators can change.
Found ReadRawJournal() {
    HKEY key;
    if (PlatformOps.RegOpenKeyExA(HKEY_LOCAL_MACHINE, InstallRecord.KeyPath, 0,
                                  KEY_QUERY_VALUE | READ_CONTROL, &key) != ERROR_SUCCESS)
        return kNothing;
    DWORD size = 0;
    const LSTATUS asked =
        PlatformOps.RegQueryValueExA(key, kJournalValueName, nullptr, &RawType, nullptr, &size);
    if (asked == ERROR_FILE_NOT_FOUND) {
        PlatformOps.RegCloseKey(key);
        return kNothing;
    }
    const int trusted = IsTrustedKey(key);
    int ok = asked == ERROR_SUCCESS && size <= kMaxJournalBytes &&
             (Raw = (uint8_t*)AllocFixed(size)) != nullptr;
    RawSize = size;
    ok = ok &&
         PlatformOps.RegQueryValueExA(key, kJournalValueName, nullptr, &RawType, Raw, &RawSize) ==
             ERROR_SUCCESS &&
         RawSize == size;
    if (!ok)
        RawSize = 0;
    PlatformOps.RegCloseKey(key);
    return !trusted ? kUntrusted : ok && RawType == REG_BINARY ? kUsable : kDamaged;
}

// Reads and checks the journal into StagedSet and Folders, every step still unknown.
Found LoadJournal() {
    const Found found = ReadRawJournal();
    if (found != kUsable)
        return found;
    uint32_t count = 0;
    int ok = CountJournalActions(Raw, RawSize, &count) == kJournalRead;
    ResetStagedSet();
    for (uint32_t i = 0; ok && i < count; ++i)
        ok = AddAction(kReplaceFile, "x") != nullptr;
    ok = ok && ReadJournal(Raw, RawSize, &Folders, StagedSet.actions, StagedSet.count, &count) ==
                   kJournalRead;
    return ok ? kUsable : kDamaged;
}

// A journal that is not obeyed is kept under another name for support, and no longer stands in
// the way: the next start finds none. Nothing it names is touched.
void KeepJournalAside() {
    HKEY key;
    if (PlatformOps.RegOpenKeyExA(HKEY_LOCAL_MACHINE, InstallRecord.KeyPath, 0, KEY_SET_VALUE,
                                  &key) != ERROR_SUCCESS)
        return;
    if (PlatformOps.RegSetValueExA(key, kRefusedJournalValueName, 0, RawType, Raw, RawSize) ==
            ERROR_SUCCESS &&
        PlatformOps.RegFlushKey(key) == ERROR_SUCCESS)
        PlatformOps.RegDeleteValueA(key, kJournalValueName);
    PlatformOps.RegFlushKey(key);
    PlatformOps.RegCloseKey(key);
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

// A disc copy waits inside the staging folder; a file whose folder takes the place of a file
// an earlier action deletes, beside that file; everything else beside its target.
int IsStagedName(const char* staged, const char* target, uint32_t index) {
    const JournalAction* deleted = ActionAbove(StagedSet.actions, 0, index, kDeleteFile, target);
    if (IsRunNameBeside(staged, deleted ? deleted->target : target, ".new", StepAnsiChar))
        return IsExactPath(staged);
    for (uint32_t i = 0; i < StagedSet.count; ++i) {
        const JournalAction& s = StagedSet.actions[i];
        if (s.kind == kStagingFolder && IsStrictlyInside(staged, s.target))
            return IsExactPath(staged) && ReachedWithoutLinks(staged, Folders.install);
    }
    return 0;
}

// The install or data folder itself, as itself and not a link.
int IsRecordedFolder(const char* path) {
    return path[0] && (strcmp(path, Folders.install) == 0 || strcmp(path, Folders.data) == 0) &&
           !IsLinkAt(path);
}

int PlacesAreOurs(const JournalAction& a) {
    const uint32_t index = (uint32_t)(&a - StagedSet.actions);
    // A deleted file below a folder a later action removes waited beside that folder.
    const JournalAction* removed =
        a.kind == kDeleteFile
            ? ActionAbove(StagedSet.actions, index + 1, StagedSet.count, kRemoveFolder, a.target)
            : nullptr;
    switch (a.kind) {
    case kReplaceFile:
        return IsInsideGame(a.target) && IsStagedName(a.staged, a.target, index) &&
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
               IsRunNameBeside(a.backup, removed ? removed->target : a.target, ".old",
                               StepAnsiChar) &&
               IsExactPath(a.backup) && ReachedWithoutLinks(a.backup, BaseOf(a.target));
    case kRemoveFolder:
        return IsInsideGame(a.target) && !a.staged[0] && !a.backup[0];
    case kFolderAttributes:
        // A read-only mark cleared on a file or a folder of the game, or the attributes of a
        // recorded folder itself reset.
        return IsRecordedFolder(a.target) || IsInsideGame(a.target);
    case kCreateFolder:
        // Nested folders below the recorded ones, or the data folder itself.
        return (strcmp(a.target, Folders.data) == 0 && IsRecordedFolder(a.target)) ||
               IsInsideGame(a.target);
    default:
        return 0;
    }
}

int IsThere(const char* path) {
    return path[0] && PlatformOps.GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

int IsFolderAt(const char* path) {
    const DWORD attributes = PlatformOps.GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
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

// 1 when every path the journal names is one of the run's own.
int AllPlacesAreOurs(const JournalAction** stray) {
    *stray = nullptr;
    for (uint32_t i = 0; i < StagedSet.count; ++i) {
        if (!PlacesAreOurs(StagedSet.actions[i])) {
            *stray = &StagedSet.actions[i];
            return 0;
        }
    }
    return 1;
}

// 1 when the journal's folders are today's install and data folders, as start-up settled them,
// and lie outside the Windows folder.
int FoldersAreToday() {
    // The run settles the data folder itself (judged only when a Data item needs it); the
    // journal holds it as the run settled it, which is what it is compared with.
    char data[kPathSize];
    strcpy(data, InstallRecord.DataPath);
    SettleUnusedFolder(data);
    return strcmp(Folders.install, InstallRecord.InstPath) == 0 &&
           strcmp(Folders.data, data) == 0 && IsExactPath(Folders.install) &&
           !LiesInWindowsFolder(Folders.install) &&
           (!Folders.data[0] || (IsExactPath(Folders.data) && !LiesInWindowsFolder(Folders.data)));
}

// Says once why the journal is not obeyed, keeps it aside and lets the start go on.
int Refuse(const char* format, const char* file) {
    KeepJournalAside();
    Say(format, AsideWhere, file, MB_ICONERROR);
    return 1;
}

// The journal's folders, held by the file gate: every act of the recovery lies beneath them.
int HoldJournalFolders() {
    if (!GateHoldBase(Folders.install, 0))
        return 0;
    if (!Folders.data[0])
        return 1;
    // A data folder the run made itself goes with the rest of an undo, which a base the gate
    // holds never does: the folder above it is held instead, as the run held it.
    for (uint32_t i = 0; i < StagedSet.count; ++i) {
        const JournalAction& a = StagedSet.actions[i];
        if (a.kind == kCreateFolder && lstrcmpiA(a.target, Folders.data) == 0) {
            char parent[kPathSize];
            const size_t cut = FolderPartLength(Folders.data);
            if (cut < 3)
                return 0;
            lstrcpynA(parent, Folders.data, (int)(cut > 3 ? cut : cut + 1));
            return GateHoldBase(parent, 0);
        }
    }
    return GateHoldBase(Folders.data, 0);
}

int Disagrees(const char* target) {
    return Refuse("前回のアップデートの記録がファイルの状態と一致しないため、ファイルはそのままにし"
                  "ました。\r記録は次の名前で残しました：%s\rファイル：%s",
                  target);
}

int RefuseFolders() {
    return Refuse("前回のアップデートの記録が今のインストール先とは違うフォルダを指しているため、"
                  "ファイルはそのままにしました。\r記録は次の名前で残しました：%s",
                  "");
}

// 1 when the journal names today's folders and only places of the run's own, its folders then
// held for all that follows; else it is refused, and refused holds what the start goes on with.
int MayBeObeyed(int* refused) {
    const JournalAction* stray;
    if (!FoldersAreToday())
        *refused = RefuseFolders();
    else if (!AllPlacesAreOurs(&stray))
        *refused = Disagrees(stray->target);
    else if (!HoldJournalFolders())
        *refused = Disagrees(Folders.install);
    else
        return 1;
    return 0;
}

// The run died before its change counted: take every action back.
int RestoreFrom() {
    int refused;
    if (!MayBeObeyed(&refused))
        return refused;
    for (uint32_t i = 0; i < StagedSet.count; ++i) {
        const JournalAction& a = StagedSet.actions[i];
        ActionState* s = &StagedSet.states[i];
        int agrees = 1;
        if (a.kind == kReplaceFile)
            agrees = JudgeReplacement(a, &s->step);
        else if (a.kind == kDeleteFile)
            agrees = JudgeDeletion(a, &s->step);
        else if (a.kind == kRemoveFolder)
            // Still there, or gone (a file in its place is a later action's to judge).
            s->step = IsFolderAt(a.target) ? kPlanned : kBackedUp;
        else if (a.kind == kCreateFolder)
            // Where a deleted file stood, the file may still be there.
            s->step = IsFolderAt(a.target) ? kStaged : kPlanned;
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

// The run's change was made: only old copies, the folders deletions emptied and the journal
// remain to be removed.
int FinishFrom() {
    int refused;
    if (!MayBeObeyed(&refused))
        return refused;
    if (RemoveOldCopies(StagedSet.actions, StagedSet.count)) {
        RemoveEmptiedFolders(StagedSet.actions, StagedSet.count);
        RemoveJournal();
    }
    return 1;
}

} // namespace

int RecoverInterruptedRun() {
    wsprintfA(Where, "HKEY_LOCAL_MACHINE\\%s\\%s", InstallRecord.KeyPath, kJournalValueName);
    wsprintfA(AsideWhere, "HKEY_LOCAL_MACHINE\\%s\\%s", InstallRecord.KeyPath,
              kRefusedJournalValueName);
    int result = 1;
    const Found found = LoadJournal();
    if (found == kUsable && Folders.state == kJournalCommitted)
        result = FinishFrom();
    else if (found == kUsable)
        result = RestoreFrom();
    else if (found == kDamaged)
        result = Refuse("前回のアップデートの記録が壊れているため、ファイルはそのままにしました。"
                        "\r記録は次の名前で残しました：%s",
                        "");
    else if (found == kUntrusted)
        result = Refuse("前回のアップデートの記録がほかのプログラムにも書き換えられる場所にあったた"
                        "め、ファイルはそのままにしました。\r記録は次の名前で残しました：%s",
                        "");
    FreeFixed(HashBuffer);
    HashBuffer = nullptr;
    FreeFixed(Raw);
    Raw = nullptr;
    RawSize = 0;
    ResetStagedSet();
    return result;
}
