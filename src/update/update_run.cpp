#include "update/update_run.h"

#include <string.h>

#include "archive/archive.h"
#include "archive/payload_volumes.h"
#include "core/decimal.h"
#include "core/file_gate.h"
#include "core/messages.h"
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

// The payload's own extensions of UPDATE.INI and of its entries, which an updater without them
// refuses the payload for.
bool PayloadRequires(uint32_t feature) {
    return PayloadIntegrity.covered && (PayloadIntegrity.record.requiredFeatures & feature);
}

// The entry an item receives: named by its file name, or by its whole path in a payload whose
// entries carry their folders.
const char* EntryNameOf(const UpdateItem& item) {
    return PayloadRequires(PAYLOAD_FEATURE_FOLDER_NAMES) ? item.path : item.path + item.nameOffset;
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

// One update file the run will write: from what, and which action of the staged set it is.
// Actions are kept by index: the set may move in memory as it grows.
struct PlannedFile {
    // The payload entry the new bytes come from (the whole file, or the delta applied to the
    // target), or null when the target's own bytes are written back.
    const uint8_t* record;
    uint32_t dataOffset;
    uint32_t action;
    int32_t delta; // the delta applied to the target, or -1
};

PlannedFile Planned[kMaxLongListItems];
int PlannedCount = 0;

// Set when planning stopped at an installed file of another version, which is no failed write.
bool PlanRefusedVersion = false;

// Where an item's new file comes from and what it will be.
struct Source {
    const uint8_t* record;
    uint32_t dataOffset;
    int32_t delta;
    uint64_t newSize;
    uint8_t hasTime;
    uint64_t time;
    bool leaveAlone; // an Update item whose target is newer than the new file
};

int RefuseVersion(const char* target) {
    PlanRefusedVersion = true;
    return ShowCannotReplace("アップデートエラー：「%s」がアップデート対象のバージョンと違います",
                             target);
}

// A file the payload carries as deltas: built from the installed file when that is one of the
// recorded bases, kept when it already is the new file, else written whole when the payload has
// a whole copy. Anything else is another version of the game, refused before anything is written.
int ChooseDeltaSource(const UpdateItem& item, const char* target, int exists, uint64_t size,
                      uint64_t writeTime, uint64_t time, Source* s) {
    const char* name = EntryNameOf(item);
    s->hasTime = 1;
    s->time = time;
    if (item.mode == Update && exists && writeTime > time) {
        s->leaveAlone = true;
        return 1;
    }
    uint32_t delta = 0;
    const InstalledMatch match =
        exists ? MatchInstalledFile(target, size, name, &delta) : kMatchNone;
    if (match == kMatchUnreadable)
        return ShowCannotReplace("「%s」を読み込めません", target);
    if (match == kMatchResult)
        return 1;
    if (match == kMatchBase) {
        s->delta = (int32_t)delta;
        s->record = DeltaEntryRecord(delta, &s->dataOffset);
        s->newSize = DeltaResultSize(delta);
        return 1;
    }
    s->record = LookupEntryRecord(name, &s->dataOffset);
    if (!s->record)
        return RefuseVersion(target);
    s->newSize = EntrySizeOf(s->record);
    return 1;
}

// 0 after a message.
int ChooseSource(const UpdateItem& item, const char* target, int exists, uint64_t size,
                 uint64_t writeTime, Source* s) {
    *s = Source{nullptr, 0, -1, size, 0, 0, false};
    // A Data file that is there keeps its own bytes.
    if (item.mode == Data && exists)
        return 1;
    const char* name = EntryNameOf(item);
    uint64_t time;
    // A missing Data file has no base: it is always written whole.
    if (item.mode != Data && HasDeltasFor(name, &time))
        return ChooseDeltaSource(item, target, exists, size, writeTime, time, s);
    s->record = FindEntryRecord(name, &s->dataOffset);
    if (!s->record)
        return 0;
    s->newSize = EntrySizeOf(s->record);
    s->hasTime = 1;
    s->time = EntryTime(s->record);
    s->leaveAlone = item.mode == Update && exists && writeTime > s->time;
    return 1;
}

JournalAction* ActionOf(const PlannedFile& p) {
    return &StagedSet.actions[p.action];
}

// The folder an item's target lies in is created by the run when it is not there; recorded
// ahead of the files that go into it, so that undoing runs through them first.
int PlanFolder(const char* folder) {
    if (PlatformOps.GetFileAttributesA(folder) != INVALID_FILE_ATTRIBUTES)
        return 1;
    for (uint32_t i = 0; i < StagedSet.count; ++i) {
        if (StagedSet.actions[i].kind == kCreateFolder &&
            lstrcmpiA(StagedSet.actions[i].target, folder) == 0)
            return 1;
    }
    return AddAction(kCreateFolder, folder) != nullptr;
}

// A folder is made only inside one that is there: a skipped item asks for no more.
bool ParentExists(const char* folder) {
    char parent[kPathSize];
    const size_t length = FolderPartLength(folder);
    if (length == 0)
        return false;
    lstrcpynA(parent, folder, (int)length);
    return PlatformOps.GetFileAttributesA(parent) != INVALID_FILE_ATTRIBUTES;
}

// The read-only reset an earlier item planned for target, or null.
JournalAction* PlannedReset(const char* target) {
    for (uint32_t i = 0; i < StagedSet.count; ++i) {
        JournalAction* a = &StagedSet.actions[i];
        if (a->kind == kFolderAttributes && lstrcmpiA(a->target, target) == 0)
            return a;
    }
    return nullptr;
}

PlannedFile* PlannedFileOf(const JournalAction* a) {
    for (int i = 0; a && i < PlannedCount; ++i) {
        if (ActionOf(Planned[i]) == a)
            return &Planned[i];
    }
    return nullptr;
}

uint64_t Now() {
    FILETIME t;
    GetSystemTimeAsFileTime(&t);
    return ((uint64_t)t.dwHighDateTime << 32) | t.dwLowDateTime;
}

uint64_t CreationTimeOf(const char* path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!DirectOps.GetFileAttributesExA(path, GetFileExInfoStandard, &data))
        return 0;
    return ((uint64_t)data.ftCreationTime.dwHighDateTime << 32) | data.ftCreationTime.dwLowDateTime;
}

// A target as the earlier items of the run leave it: a file one of them writes is there, plain,
// with the time it will get; one whose read-only mark one of them clears is plain.
struct TargetView {
    int onDisk; // what stands there before the run
    DWORD diskAttributes;
    uint64_t diskSize, diskWriteTime;
    int exists;
    DWORD attributes;
    uint64_t size, writeTime;
    uint64_t creationTime;  // the time a file written back keeps as its creation time
    JournalAction* earlier; // the replacement an earlier item planned, or null
};

void ViewTarget(const char* target, TargetView* v) {
    v->diskAttributes = 0;
    v->diskSize = v->diskWriteTime = 0;
    v->onDisk = QueryPath(target, &v->diskAttributes, &v->diskSize, &v->diskWriteTime);
    v->exists = v->onDisk;
    v->attributes = v->diskAttributes;
    v->size = v->diskSize;
    v->writeTime = v->diskWriteTime;
    v->creationTime = v->onDisk ? CreationTimeOf(target) : 0;
    v->earlier = FindReplacement(target);
    if (v->earlier) {
        const ActionState* s = StateOf(v->earlier);
        v->exists = 1;
        v->attributes = FILE_ATTRIBUTE_NORMAL;
        v->size = v->earlier->newSize;
        v->writeTime = s->hasTime && !s->creationOnly ? s->time : Now();
        if (s->hasTime)
            v->creationTime = s->time;
    } else if (PlannedReset(target)) {
        v->attributes = FILE_ATTRIBUTE_NORMAL;
    }
}

// The read-only mark of a file an Update item leaves alone is cleared all the same: made at the
// commit, taken back with the rest.
int PlanReadOnlyReset(const char* target, DWORD attributes) {
    JournalAction* a = AddAction(kFolderAttributes, target);
    if (a)
        a->oldAttributes = attributes;
    return a != nullptr;
}

int NoMemory() {
    ShowUpdaterError("Can't Allocate Memory !!");
    return 0;
}

// The item's folder and every folder of its path that is not there yet, outermost first, so
// that a file new in a new folder of the game can be written.
int PlanFolders(const char* folder, const char* path) {
    if (!PlanFolder(folder))
        return 0;
    for (const char* p = path; *p; p = CharNextA(p)) {
        if ((*p != '\\' && *p != '/') || p == path)
            continue;
        char sub[kPathSize], part[kPathSize];
        lstrcpynA(part, path, (int)(p - path) + 1);
        strcpy(sub, folder);
        if (JoinPath(sub, part) && !PlanFolder(sub))
            return 0;
    }
    return 1;
}

// A file the update removes: moved aside at the commit, put back by any undo, removed at the end.
// Nothing there is nothing to do; a file the run also writes stays written.
int PlanDeletion(const char* target) {
    DWORD attributes;
    uint64_t size = 0, writeTime = 0;
    if (!QueryPath(target, &attributes, &size, &writeTime) || FindReplacement(target))
        return 1;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return ShowCannotReplace("「%s」はフォルダのため削除できません", target);
    if (!CanBeReplaced(target))
        return ShowCannotReplace("「%s」はほかのプログラムが使用しているため置き換えられません",
                                 target);
    JournalAction* a = AddAction(kDeleteFile, target);
    if (!a) {
        ShowUpdaterError("Can't Allocate Memory !!");
        return 0;
    }
    a->existed = 1;
    a->oldAttributes = attributes;
    a->oldSize = size;
    a->oldWriteTime = writeTime;
    return 1;
}

// Decides what one item writes. Items take effect in list order: each is planned against the
// state the earlier ones leave. 1 when the item writes nothing or was planned; 0 after a message.
int PlanItem(const UpdateItem& item, bool overwriteOnly) {
    PlannedFile p;
    char folder[kPathSize], target[kPathSize];
    TargetOf(item, folder, target);
    if (item.mode == Delete)
        return PlanDeletion(target);
    TargetView v;
    ViewTarget(target, &v);
    const int isFolder = v.exists && (v.attributes & FILE_ATTRIBUTE_DIRECTORY);
    const bool skipped = (overwriteOnly || item.mode == Overwrite) && (!v.exists || isFolder);
    // Every item makes its folder first, one the overwrite-only rule then skips too.
    if ((!skipped || ParentExists(folder)) && !PlanFolder(folder))
        return NoMemory();
    if (skipped)
        return 1;
    if (isFolder)
        return ShowCannotReplace("「%s」はフォルダのため置き換えられません", target);
    // A read-only data file cannot be opened to be written back: it stays exactly as it is.
    if (item.mode == Data && v.exists && (v.attributes & FILE_ATTRIBUTE_READONLY))
        return 1;
    Source source;
    uint64_t time;
    PlannedFile* earlierFile = PlannedFileOf(v.earlier);
    if (v.earlier && earlierFile && item.mode == Data) {
        // Written back: the bytes the earlier item writes, with the time of the rewrite.
        source = Source{earlierFile->record,
                        earlierFile->dataOffset,
                        earlierFile->delta,
                        v.size,
                        1,
                        v.creationTime,
                        false};
    } else if (v.earlier && HasDeltasFor(item.path + item.nameOffset, &time)) {
        // An earlier item already makes this file the new one.
        return 1;
    } else if (!ChooseSource(item, target, v.exists, v.size, v.writeTime, &source)) {
        return 0;
    } else if (item.mode == Data && v.exists) {
        // Written back as re-creating the file would: its creation time stays.
        source.hasTime = v.creationTime != 0;
        source.time = v.creationTime;
    }
    const bool writtenBack = item.mode == Data && v.exists;
    if (source.leaveAlone) {
        if ((v.attributes & FILE_ATTRIBUTE_READONLY) &&
            !PlanReadOnlyReset(target, v.diskAttributes))
            return NoMemory();
        return 1;
    }
    p.record = source.record;
    p.dataOffset = source.dataOffset;
    p.delta = source.delta;
    if (v.onDisk && !CanBeReplaced(target))
        return ShowCannotReplace("「%s」はほかのプログラムが使用しているため置き換えられません",
                                 target);
    // The folders of its path that are not there yet, outermost first.
    if (!PlanFolders(folder, item.path))
        return NoMemory();
    // A later item for the same file takes the earlier one's place, as it would have written
    // last.
    JournalAction* a = v.earlier;
    PlannedFile* slot = earlierFile ? earlierFile : &Planned[PlannedCount];
    if (!a) {
        if (!(a = AddAction(kReplaceFile, target)))
            return NoMemory();
        a->existed = v.onDisk;
        a->oldAttributes = v.diskAttributes;
        a->oldSize = v.diskSize;
        a->oldWriteTime = v.diskWriteTime;
        ++PlannedCount;
    }
    p.action = (uint32_t)(a - StagedSet.actions);
    a->newSize = source.newSize;
    StateOf(a)->hasTime = source.hasTime;
    StateOf(a)->creationOnly = writtenBack;
    StateOf(a)->time = source.time;
    *slot = p;
    return 1;
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

// The new file rebuilt from the target and its delta, staged beside it. 0 after a message.
int StageDelta(const PlannedFile& p) {
    return StageDeltaResult(ActionOf(p), (uint32_t)p.delta);
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

// The names the staged files will take beside their targets.
int NamePlannedFiles() {
    for (int i = 0; i < PlannedCount; ++i) {
        JournalAction* a = ActionOf(Planned[i]);
        if (!SiblingName(a->target, ".new", a->staged))
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
// targets stay untouched.
int StagePlannedFiles() {
    for (uint32_t i = 0; i < StagedSet.count; ++i) {
        JournalAction* a = &StagedSet.actions[i];
        if (a->kind == kCreateFolder && !CreatePlannedFolder(a))
            return ShowCannotReplace("「%s」を作成できません", a->target);
    }
    for (int i = 0; i < PlannedCount; ++i) {
        const PlannedFile& p = Planned[i];
        JournalAction* a = ActionOf(p);
        if (p.delta >= 0) {
            if (!StageDelta(p))
                return 0;
            continue;
        }
        // A decode failure has said what it is; a failed write is named by the staging.
        if (p.record) {
            if (!StageEntry(p))
                return 0;
            continue;
        }
        const CopyResult copied = StageCopyOfTarget(a);
        if (copied == kCopyUnreadable)
            return ShowCannotReplace("「%s」を読み込めません", a->target);
        if (copied != kCopied)
            return ShowCannotReplace("「%s」を書き込めません", a->target);
    }
    return 1;
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
    // Every change of the run is made beneath these two, held from the plan to the end.
    if (!GateHoldBase(InstallRecord.InstPath, 0) ||
        (InstallRecord.DataPath[0] && !GateHoldBase(InstallRecord.DataPath, 0)))
        return Fail(dialog, true);
    PlannedCount = 0;
    PlanRefusedVersion = false;
    bool onlyDeletions = true;
    for (int i = 0; i < UpdateList.count; ++i) {
        onlyDeletions = onlyDeletions && UpdateList.items[i].mode == Delete;
        if (!PlanItem(UpdateList.items[i], overwriteOnly))
            return Fail(dialog, !PlanRefusedVersion);
    }
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
    // The journal comes before the first write of any kind: whatever the run leaves, however
    // it ends, the next start can find and take back.
    if (!NamePlannedFiles() || (CopyList.count > 0 && !PlanStagingFolder()) || !PutJournalInForce())
        return Fail(dialog, true);
    if (!StagePlannedFiles())
        return Fail(dialog, true);
    if (CopyList.count > 0 && !StageDiscCopies(dialog))
        return Fail(dialog, false);
    if (CopyList.count > 0 && !PutJournalInForce())
        return Fail(dialog, true);
    if (!CommitStagedSet())
        return Fail(dialog, true);
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
    if (!CheckRunPaths())
        return AbortDialog(dialog);
    WriteAll(dialog, overwriteOnly);
}
