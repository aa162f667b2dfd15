#include "update/update_run.h"

#include <string.h>

#include "archive/archive.h"
#include "archive/payload_volumes.h"
#include "core/decimal.h"
#include "core/file_gate.h"
#include "core/game_folder.h"
#include "core/io_count.h"
#include "core/messages.h"
#include "core/path_form.h"
#include "core/platform_ops.h"
#include "core/platform_text.h"
#include "core/profile.h"
#include "core/run_state.h"
#include "update/commit.h"
#include "update/delta_target.h"
#include "update/disc_copy.h"
#include "update/info_text.h"
#include "update/progress.h"
#include "update/run_checks.h"
#include "update/run_snapshot.h"
#include "update/staged_set.h"

UpdateListData UpdateList;
CopyListData CopyList;

namespace {

bool IsAnsiLeadByte(unsigned char b) {
    return IsDBCSLeadByte(b) != 0;
}

void EnableControl(HWND dialog, int id, bool enabled) {
    EnableWindow(GetDlgItem(dialog, id), enabled ? TRUE : FALSE);
}

void ShowShortage(HWND dialog, const char* drive, uint64_t shortfall) {
    char number[kDecimalSize];
    FormatDecimal(shortfall, number);
    SetInfoText(dialog, "ディスク容量が足りません。\r%s ドライブに %s バイトの空き容量が必要です",
                drive, number);
    EnableControl(dialog, kBackId, true);
    EnableControl(dialog, kNextId, false);
    EnableControl(dialog, kCancelId, true);
}

// 1 when the drive of the installation has room for what UPDATE.INI asks; else the shortage
// page. A failed query lets the run go on: the room the run itself needs is checked later.
int CheckFreeSpace(HWND dialog) {
    char value[kPathSize];
    if (!ReadUpdateValue("UPDATE", "RequiredDiskSpace", value, sizeof value))
        return 1;
    const uint64_t required = ParseByteCount(value);
    if (required == 0)
        return 1;
    char drive[3];
    uint64_t freeBytes;
    if (!QueryFreeBytes(InstallRecord.InstPath, drive, &freeBytes) || required <= freeBytes)
        return 1;
    ShowShortage(dialog, drive, required - freeBytes);
    return 0;
}

// The registry's DataPath is the base of Data items alone: judged only when one applies, so that
// a value no item uses stops nothing. 0 after a message.
int SettleDataPath() {
    for (int i = 0; i < UpdateList.count; ++i) {
        if (UpdateList.items[i].mode == Data)
            return SettleGameFolder(InstallRecord.DataPath);
    }
    SettleUnusedFolder(InstallRecord.DataPath);
    return 1;
}

void StartWork(HWND dialog) {
    SetInfoText(dialog, "%sを実行しています", ModeWord);
    EnableControl(dialog, kBackId, false);
    EnableControl(dialog, kNextId, false);
    EnableControl(dialog, kCancelId, false);
    SetCursor(LoadCursorA(nullptr, IDC_WAIT));
}

// The version check of an "e" item: the path must be there, as a file or as a folder that
// carries some attribute beyond being a folder.
int PassesExistenceCheck(const char* path) {
    char full[kPathSize];
    strcpy(full, InstallRecord.InstPath);
    if (!JoinPath(full, path)) {
        ShowPathTooLong(InstallRecord.InstPath, path);
        return 0;
    }
    const DWORD attributes = PlatformOps.GetFileAttributesA(full);
    if (attributes != INVALID_FILE_ATTRIBUTES && attributes != FILE_ATTRIBUTE_DIRECTORY)
        return 1;
    const char* text = UpdaterConfig.ExistErrorMessage;
    ShowUpdaterError(text[0] ? text : "アップデートエラー：アップデート対象のバージョンが違います");
    return 0;
}

// Reads UpdateFile00.. up to the first missing key. 0 after a failed version check.
int ReadUpdateList(int* keysRead) {
    UpdateList.count = 0;
    const int most =
        PayloadRequires(PAYLOAD_FEATURE_LONG_LISTS) ? kMaxLongListItems : kMaxListItems;
    for (int nn = 0; nn < most; ++nn) {
        char key[32], value[kTextSize];
        wsprintfA(key, "UpdateFile%02i", nn);
        if (!ReadUpdateValue("UPDATE", key, value, sizeof value))
            break;
        ++*keysRead;
        UpdateItem item;
        const ItemKind kind = ParseUpdateItem(value, InstalledMode, IsAnsiLeadByte, &item);
        if (kind == kItemCheck && !PassesExistenceCheck(item.path))
            return 0;
        if (kind == kItemStored)
            UpdateList.items[UpdateList.count++] = item;
    }
    return 1;
}

// Reads DeleteFile00.. up to the first missing key, after the update items, when the payload
// requires deletions (an updater without them would leave the files, and say it had finished).
// Each value is a path as an item's is, inside the game's folder; 0 after refusing one that
// names a drive or begins at a folder's root.
int ReadDeleteList(int* keysRead) {
    if (!PayloadRequires(PAYLOAD_FEATURE_DELETIONS))
        return 1;
    for (int nn = 0; nn < kMaxLongListItems; ++nn) {
        char key[32];
        UpdateItem item;
        wsprintfA(key, "DeleteFile%02i", nn);
        if (!ReadUpdateValue("UPDATE", key, item.path, sizeof item.path))
            break;
        ++*keysRead;
        if (strchr(item.path, ':') || item.path[0] == '\\' || item.path[0] == '/') {
            char text[kMessageSize];
            wsprintfA(text, "UPDATE.INI : \"%s\" はアップデート先のフォルダの外を指しています",
                      item.path);
            ShowUpdaterError(text);
            return 0;
        }
        item.mode = Delete;
        item.nameOffset = NameOffset(item.path, IsAnsiLeadByte);
        UpdateList.items[UpdateList.count++] = item;
    }
    return 1;
}

// Reads CopyFile00.. up to the first missing key. 0 after refusing a disc number that is not a
// digit: only ten discs can be identified.
int ReadCopyList(int* keysRead) {
    CopyList.count = 0;
    for (int nn = 0; nn < kMaxListItems; ++nn) {
        char key[32], value[kPathSize];
        wsprintfA(key, "CopyFile%02i", nn);
        if (!ReadUpdateValue("UPDATE", key, value, sizeof value))
            break;
        ++*keysRead;
        CopyItem item;
        const ItemKind kind = ParseCopyItem(value, InstalledMode, &item);
        if (kind == kItemBadDisc) {
            char text[kMessageSize];
            wsprintfA(text, "UPDATE.INI : %s のディスク番号が正しくありません", key);
            ShowUpdaterError(text);
            return 0;
        }
        if (kind == kItemStored)
            CopyList.items[CopyList.count++] = item;
    }
    return 1;
}

PlannedFile Planned[kMaxLongListItems];
int PlannedCount = 0;

JournalAction* ActionOf(const PlannedFile& p) {
    return &StagedSet.actions[p.action];
}

bool SameDrive(const char* a, const char* b) {
    return (a[0] | 0x20) == (b[0] | 0x20) && a[1] == b[1];
}

// Bytes the run will write, drive by drive; the shortage page when a drive lacks room.
int CheckRoomForPlan(HWND dialog) {
    for (int i = 0; i < PlannedCount; ++i) {
        const char* target = ActionOf(Planned[i])->target;
        uint64_t need = 0;
        for (int j = 0; j < PlannedCount; ++j) {
            if (SameDrive(target, ActionOf(Planned[j])->target))
                need += ActionOf(Planned[j])->newSize;
        }
        char drive[3];
        uint64_t freeBytes;
        if (QueryFreeBytes(target, drive, &freeBytes) && need > freeBytes) {
            ShowShortage(dialog, drive, need - freeBytes);
            return 0;
        }
    }
    return 1;
}

// Every entry the run will write is checked against the payload's record of it before the
// first write: a damaged payload never reaches the disk.
int VerifyPlannedEntries() {
    // The volumes are hashed whole first: every stored byte in them is the publisher's, and
    // nobody can change one while the run holds them.
    if (!CheckPayloadVolumes(AdvanceProgress))
        return 0;
    // One pass over the stored bytes proves them all, far cheaper than decoding each entry;
    // only a payload without that digest, or one that differs from it, is checked entry by
    // entry, which also names the damaged one.
    if (PayloadImageIntact()) {
        for (int i = 0; i < PlannedCount; ++i) {
            if (Planned[i].record)
                AdvanceProgress(ActionOf(Planned[i])->newSize);
        }
        return 1;
    }
    for (int i = 0; i < PlannedCount; ++i) {
        if (!Planned[i].record)
            continue;
        PlacedEntry placed;
        const bool inVolumes =
            PlacedEntryOf(Planned[i].record, &placed) && (placed.flags & kPlacedInVolumes);
        if (!inVolumes && !VerifyEntry(EntryName(Planned[i].record)))
            return 0;
        AdvanceProgress(ActionOf(Planned[i])->newSize);
    }
    return 1;
}

// The entry's bytes into the staged file part by part, hashed as they pass: that digest is the
// staged file's seal, and must be the entry's own. 0 after a message.
int StageEntry(const PlannedFile& p) {
    JournalAction* a = ActionOf(p);
    EntryReader r;
    if (!OpenEntryReader(p.record, p.dataOffset, &r))
        return 0;
    uint8_t* buffer = (uint8_t*)AllocFixed(kEntryPartSize);
    if (!buffer) {
        CloseEntryReader(&r);
        ShowUpdaterError("Can't Allocate Memory !!");
        return 0;
    }
    HANDLE h = CreateStaged(a);
    int written = h != INVALID_HANDLE_VALUE;
    int read = 1;
    while (written && read && r.at < r.size) {
        const uint32_t n =
            r.size - r.at < kEntryPartSize ? (uint32_t)(r.size - r.at) : kEntryPartSize;
        read = ReadEntryPart(&r, buffer, n);
        written = read && WriteStaged(a, buffer, n);
        PumpMessages();
    }
    CloseEntryReader(&r);
    FreeFixed(buffer);
    // A damaged entry is named by its check, an entry that could not be read by its reader;
    // the staged file goes either way.
    if (h == INVALID_HANDLE_VALUE)
        return ShowCannotReplace("「%s」を書き込めません", a->target);
    written = FinishStaged(a, written && read, nullptr);
    const int intact = read && (!written || CheckEntryDigest(p.record, a->newDigest));
    if (!intact) {
        if (written)
            DiscardStaged(a);
        return 0;
    }
    return written || ShowCannotReplace("「%s」を書き込めません", a->target);
}

// The new file rebuilt from the target and its delta, staged beside it. A target that its sample
// took for the base but that is another file gets the whole entry, as it would have had its
// whole digest been read, or is named when the payload has none. kListPlanned when staged.
PlanListResult StageDelta(const PlannedFile& p) {
    JournalAction* a = ActionOf(p);
    const DeltaStaging staged = StageDeltaResult(a, (uint32_t)p.delta);
    if (staged != kDeltaOtherBase)
        return staged == kDeltaStaged ? kListPlanned : kListFailed;
    PlannedFile whole = p;
    whole.delta = -1;
    whole.record = LookupEntryRecord(DeltaTargetName((uint32_t)p.delta), &whole.dataOffset);
    if (!whole.record || EntrySizeOf(whole.record) != a->newSize) {
        ShowOtherVersion(a->target);
        return kListOtherVersion;
    }
    return StageEntry(whole) ? kListPlanned : kListFailed;
}

// The names the staged files will take beside their targets, or beside the file the run deletes
// where their folder is to stand.
int NamePlannedFiles() {
    for (int i = 0; i < PlannedCount; ++i) {
        JournalAction* a = ActionOf(Planned[i]);
        const JournalAction* deleted =
            ActionAbove(StagedSet.actions, 0, Planned[i].action, kDeleteFile, a->target);
        if (!SiblingName(deleted ? deleted->target : a->target, ".new", a->staged))
            return ShowCannotReplace("「%s」のフォルダに書き込めません", a->target);
    }
    return 1;
}

// Disc copies land in a folder of the run's own inside the install folder, named now so that
// the journal holds it from the start.
int PlanStagingFolder() {
    char staging[kPathSize];
    strcpy(staging, InstallRecord.InstPath);
    return JoinPath(staging, "x") && SiblingName(staging, ".dir", staging) &&
           AddAction(kStagingFolder, staging) != nullptr;
}

// Writes every planned file beside its target, in the folders the run creates for them; the
// targets stay untouched. kListPlanned when all are staged.
PlanListResult StageEachPlannedFile() {
    for (uint32_t i = 0; i < StagedSet.count; ++i) {
        JournalAction* a = &StagedSet.actions[i];
        // A folder where a deleted file stands is made at the commit, once the file is aside.
        if (a->kind == kCreateFolder &&
            !ActionAbove(StagedSet.actions, 0, i, kDeleteFile, a->target) &&
            !CreatePlannedFolder(a)) {
            ShowCannotReplace("「%s」を作成できません", a->target);
            return kListFailed;
        }
    }
    for (int i = 0; i < PlannedCount; ++i) {
        const PlannedFile& p = Planned[i];
        JournalAction* a = ActionOf(p);
        const IoCountData before = IoCountNow();
        if (p.delta >= 0) {
            const PlanListResult staged = StageDelta(p);
            if (staged != kListPlanned)
                return staged;
        } else if (p.record) {
            // A decode failure has said what it is; a failed write is named by the staging.
            if (!StageEntry(p))
                return kListFailed;
        } else {
            const CopyResult copied = StageCopyOfTarget(a);
            if (copied != kCopied) {
                ShowCannotReplace(copied == kCopyUnreadable ? "「%s」を読み込めません"
                                                            : "「%s」を書き込めません",
                                  a->target);
                return kListFailed;
            }
        }
        ReportIo(a->target, before, a->newSize);
    }
    return kListPlanned;
}

// The same, then lets go of what the deltas kept from one file to the next.
PlanListResult StagePlannedFiles() {
    const PlanListResult staged = StageEachPlannedFile();
    ReleaseDeltaMemory();
    return staged;
}

uint64_t PlannedBytes() {
    uint64_t total = PayloadVolumeBytes();
    for (int i = 0; i < PlannedCount; ++i)
        total += ActionOf(Planned[i])->newSize * (Planned[i].record ? 2 : 1);
    return total;
}

void ShowCompletion(HWND dialog) {
    SetInfoText(dialog, "%sは完了しました", ModeWord);
    SetDlgItemTextA(dialog, kNextId, "完了");
    EnableControl(dialog, kNextId, true);
    SetFocus(GetDlgItem(dialog, kNextId));
    SetCursor(LoadCursorA(nullptr, IDC_ARROW));
}

void NothingToUpdate(HWND dialog) {
    ShowUpdaterError("アップデートする必要のあるファイルはありません");
    ShowCompletion(dialog);
}

// Takes back whatever the run did, reports what could not be, and ends the dialog.
void Fail(HWND dialog, bool writeFailed) {
    if (writeFailed)
        ShowUpdaterError("ファイルの書き込みに失敗しました");
    if (!RollBackStagedSet())
        ShowUpdaterError("ゲームのファイルをアップデート前の状態に戻せませんでした。もう一度ア"
                         "ップデートプログラムを起動すると元に戻します");
    EndProgress();
    ResetStagedSet();
    AbortDialog(dialog);
}

// The writing part of the run, all or nothing: plan, check, stage, commit.
void WriteAll(HWND dialog, bool overwriteOnly) {
    ResetStagedSet();
    const IoCountData start = IoCountNow();
    // Every change of the run is made beneath these two, held from the plan to the end.
    if (!GateHoldBase(InstallRecord.InstPath, 0) ||
        (InstallRecord.DataPath[0] && !GateHoldBase(InstallRecord.DataPath, 0)))
        return Fail(dialog, true);
    bool onlyDeletions = true;
    for (int i = 0; i < UpdateList.count; ++i)
        onlyDeletions = onlyDeletions && UpdateList.items[i].mode == Delete;
    const PlanListResult planned = PlanUpdateList(overwriteOnly, Planned, &PlannedCount);
    if (planned != kListPlanned)
        return Fail(dialog, planned == kListFailed);
    // Every item skipped or left alone, and no folder to make: done, nothing to take back.
    // Deletions alone that find every file gone: there was nothing to update.
    if (StagedSet.count == 0 && CopyList.count == 0) {
        ResetStagedSet();
        return onlyDeletions ? NothingToUpdate(dialog) : ShowCompletion(dialog);
    }
    if (!CheckRoomForPlan(dialog)) {
        ResetStagedSet();
        SetCursor(LoadCursorA(nullptr, IDC_ARROW));
        return;
    }
    BeginProgress(dialog, PlannedBytes());
    // A damaged entry is a failed write, however early it is found.
    if (!VerifyPlannedEntries())
        return Fail(dialog, true);
    ReportIo("plan and checks", start, 0);
    // The journal comes before the first write of any kind: whatever the run leaves, however
    // it ends, the next start can find and take back.
    if (!NamePlannedFiles() || (CopyList.count > 0 && !PlanStagingFolder()) || !PutJournalInForce())
        return Fail(dialog, true);
    const PlanListResult staged = StagePlannedFiles();
    if (staged != kListPlanned)
        return Fail(dialog, staged == kListFailed);
    if (CopyList.count > 0 && !StageDiscCopies(dialog))
        return Fail(dialog, false);
    if (CopyList.count > 0 && !PutJournalInForce())
        return Fail(dialog, true);
    const IoCountData committing = IoCountNow();
    if (!CommitStagedSet())
        return Fail(dialog, true);
    ReportIo("commit", committing, 0);
    uint64_t result = 0;
    for (int i = 0; i < PlannedCount; ++i)
        result += ActionOf(Planned[i])->newSize;
    ReportIo("run", start, result);
    EndProgress();
    ResetStagedSet();
    ShowCompletion(dialog);
}

} // namespace

void AbortDialog(HWND dialog) {
    EndDialog(dialog, -1);
}

int TargetOf(const UpdateItem& item, char folder[kPathSize], char target[kPathSize]) {
    const char* base = item.mode == Data ? InstallRecord.DataPath : InstallRecord.InstPath;
    strcpy(folder, base);
    if (!JoinPath(folder, UpdaterConfig.DataFolder)) {
        ShowPathTooLong(base, UpdaterConfig.DataFolder);
        return 0;
    }
    strcpy(target, folder);
    if (!JoinPath(target, item.path)) {
        ShowPathTooLong(folder, item.path);
        return 0;
    }
    // In the form the platform resolves them to ("sys\..\a.dat" is "a.dat"): the journal
    // records every path that way, and recovery acts on no other.
    ToFullPath(folder);
    ToFullPath(target);
    // An empty DataFolder leaves a backslash at the end: the folder the run may create is
    // recorded as the data folder's own exact form.
    DropTrailingBackslash(folder, StepAnsiChar);
    return 1;
}

void RunUpdate(HWND dialog) {
    if (!CheckFreeSpace(dialog))
        return;
    StartWork(dialog);
    char value[kPathSize];
    const bool overwriteOnly =
        ReadUpdateValue("UPDATE", "OverwriteOnly", value, sizeof value) && ParseDecimal(value);

    int keysRead = 0;
    if (!ReadUpdateList(&keysRead) || !ReadDeleteList(&keysRead) || !ReadCopyList(&keysRead))
        return AbortDialog(dialog);
    if (UpdateList.count == 0 && CopyList.count == 0) {
        // Keys that all belong to other installations, or only version checks: this
        // installation needs nothing. No key at all: the patch itself is broken.
        if (keysRead == 0) {
            ShowUpdaterError("No 'UpdateFileXX' and 'CopyFileXX'");
            return AbortDialog(dialog);
        }
        return NothingToUpdate(dialog);
    }
    if (!SettleDataPath() || !CheckRunPaths())
        return AbortDialog(dialog);
    WriteAll(dialog, overwriteOnly);
}
