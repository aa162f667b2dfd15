#include "update/run_snapshot.h"

#include <windows.h>

#include <string.h>

#include "archive/archive.h"
#include "archive/archive_format.h"
#include "core/messages.h"
#include "core/platform_ops.h"
#include "core/platform_text.h"
#include "core/run_state.h"
#include "update/delta_target.h"
#include "update/run_checks.h"
#include "update/run_plan.h"
#include "update/staged_set.h"
#include "update/update_run.h"

bool PayloadRequires(uint32_t feature) {
    return PayloadIntegrity.covered && (PayloadIntegrity.record.requiredFeatures & feature);
}

namespace {

// The entry an item receives: named by its file name, or by its whole path in a payload whose
// entries carry their folders.
const char* EntryNameOf(const UpdateItem& item) {
    return PayloadRequires(PAYLOAD_FEATURE_FOLDER_NAMES) ? item.path : item.path + item.nameOffset;
}

// Every path the items name, each once (as the platform compares names), with its state.
struct PathTable {
    char (*names)[kPathSize];
    PlanPath* states;
    uint32_t* buckets; // index + 1 of the first path of each bucket, or 0
    uint32_t* next;    // index + 1 of the next path of the same bucket, or 0
    uint32_t count, bucketCount;
};

uint32_t HashOf(const char* name) {
    char upper[kPathSize];
    lstrcpynA(upper, name, kPathSize);
    CharUpperBuffA(upper, (DWORD)lstrlenA(upper));
    uint32_t h = 2166136261u;
    for (const char* p = upper; *p; ++p)
        h = (h ^ (uint8_t)*p) * 16777619u;
    return h;
}

void QueryState(const char* path, PlanPath* s) {
    memset(s, 0, sizeof *s);
    WIN32_FILE_ATTRIBUTE_DATA d;
    if (!DirectOps.GetFileAttributesExA(path, GetFileExInfoStandard, &d))
        return;
    s->exists = 1;
    s->attributes = d.dwFileAttributes;
    s->size = ((uint64_t)d.nFileSizeHigh << 32) | d.nFileSizeLow;
    s->writeTime =
        ((uint64_t)d.ftLastWriteTime.dwHighDateTime << 32) | d.ftLastWriteTime.dwLowDateTime;
    s->creationTime =
        ((uint64_t)d.ftCreationTime.dwHighDateTime << 32) | d.ftCreationTime.dwLowDateTime;
    // Asked of the platform only for the files the plan renames (HeldFile).
    s->replaceable = 1;
}

// The first file the plan renames that another program holds against it, marked as held; 0
// when there is none.
int HeldFile(PathTable& t, const PlanAction* actions, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        const PlanAction& a = actions[i];
        const bool renamed = (a.kind == kReplaceFile && a.existed) || a.kind == kDeleteFile;
        if (renamed && !CanBeReplaced(t.names[a.path])) {
            t.states[a.path].replaceable = 0;
            return 1;
        }
    }
    return 0;
}

uint32_t PathIndex(PathTable& t, const char* name) {
    const uint32_t bucket = HashOf(name) % t.bucketCount;
    for (uint32_t i = t.buckets[bucket]; i; i = t.next[i - 1]) {
        if (lstrcmpiA(t.names[i - 1], name) == 0)
            return i - 1;
    }
    const uint32_t i = t.count++;
    strcpy(t.names[i], name);
    t.next[i] = t.buckets[bucket];
    t.buckets[bucket] = i + 1;
    QueryState(name, &t.states[i]);
    return i;
}

uint32_t Separators(const char* path) {
    uint32_t n = 0;
    for (const char* p = path; *p; p = CharNextA(p))
        n += *p == '\\' || *p == '/';
    return n;
}

// Where the item's new file can come from; the installed file is read only where the rules
// will ask what it is.
void GatherSource(const UpdateItem& item, const char* target, const PlanPath& state,
                  PlanSource* s) {
    memset(s, 0, sizeof *s);
    if (item.mode == Delete || !item.path[item.nameOffset])
        return;
    const char* name = EntryNameOf(item);
    s->record = LookupEntryRecord(name, &s->dataOffset);
    if (s->record) {
        s->entrySize = EntrySizeOf(s->record);
        s->entryTime = EntryTime(s->record);
    }
    s->hasDeltas = HasDeltasFor(name, &s->deltaTime) ? 1 : 0;
    const bool newer = item.mode == Update && state.writeTime > s->deltaTime;
    if (!s->hasDeltas || item.mode == Data || !state.exists ||
        (state.attributes & FILE_ATTRIBUTE_DIRECTORY) || newer)
        return;
    switch (MatchInstalledFile(target, state.size, name, &s->delta)) {
    case kMatchBase:
        s->match = kPlanMatchBase;
        s->deltaRecord = DeltaEntryRecord(s->delta, &s->deltaOffset);
        s->deltaSize = DeltaResultSize(s->delta);
        break;
    case kMatchResult:
        s->match = kPlanMatchResult;
        break;
    case kMatchUnreadable:
        s->match = kPlanMatchUnreadable;
        break;
    default:
        break;
    }
}

// The item's paths: its target, its folder and that folder's parent, and the folders between
// its folder and its target (taken from the target as the platform resolves it).
void GatherItem(PathTable& t, const UpdateItem& item, PlanItem* p, uint32_t* inner,
                uint32_t* innerCount) {
    char folder[kPathSize], target[kPathSize];
    TargetOf(item, folder, target); // checked to fit before planning
    p->mode = item.mode;
    p->noName = !item.path[item.nameOffset];
    p->target = PathIndex(t, target);
    p->folder = PathIndex(t, folder);
    p->folderParent = kNoPlanPath;
    const size_t parentLength = FolderPartLength(folder);
    if (parentLength > 0) {
        char parent[kPathSize];
        lstrcpynA(parent, folder, (int)parentLength);
        p->folderParent = PathIndex(t, parent);
    }
    p->firstInner = *innerCount;
    p->innerCount = 0;
    const size_t length = strlen(folder);
    if (CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, target, (int)length, folder,
                       (int)length) == CSTR_EQUAL &&
        (target[length] == '\\' || (length && folder[length - 1] == '\\'))) {
        for (const char* c = target + length + 1; *c; c = CharNextA(c)) {
            if (*c != '\\')
                continue;
            char sub[kPathSize];
            lstrcpynA(sub, target, (int)(c - target) + 1);
            inner[(*innerCount)++] = PathIndex(t, sub);
            ++p->innerCount;
        }
    }
    GatherSource(item, target, t.states[p->target], &p->source);
}

uint64_t Now() {
    FILETIME t;
    GetSystemTimeAsFileTime(&t);
    return ((uint64_t)t.dwHighDateTime << 32) | t.dwLowDateTime;
}

// The platform's message for a plan refused at path.
PlanListResult ShowRefusal(PlanRefusal refusal, const char* path) {
    switch (refusal) {
    case kPlanNoEntry:
        ShowUpdaterError("Can't Find File in Resource !!");
        return kListFailed;
    case kPlanNoFolder:
        return kListFailed;
    case kPlanUnreadable:
        ShowCannotReplace("「%s」を読み込めません", path);
        return kListFailed;
    case kPlanOtherVersion:
        ShowOtherVersion(path);
        return kListOtherVersion;
    case kPlanFolderInWay:
        ShowCannotReplace("「%s」はフォルダのため置き換えられません", path);
        return kListFailed;
    case kPlanFolderDeleted:
        ShowCannotReplace("「%s」はフォルダのため削除できません", path);
        return kListFailed;
    case kPlanInUse:
        ShowCannotReplace("「%s」はほかのプログラムが使用しているため置き換えられません", path);
        return kListFailed;
    default:
        return kListPlanned;
    }
}

// The plan's actions into the staged set; the files the run writes into files.
int EnterActions(const PathTable& t, const PlanAction* actions, uint32_t count, PlannedFile* files,
                 int* fileCount) {
    for (uint32_t i = 0; i < count; ++i) {
        const PlanAction& p = actions[i];
        JournalAction* a = AddAction(p.kind, t.names[p.path]);
        if (!a)
            return 0;
        a->existed = p.existed;
        a->oldAttributes = p.oldAttributes;
        a->oldSize = p.oldSize;
        a->oldWriteTime = p.oldWriteTime;
        a->newSize = p.newSize;
        ActionState* s = StateOf(a);
        s->hasTime = p.hasTime;
        s->creationOnly = p.creationOnly;
        s->time = p.time;
        if (p.kind == kReplaceFile)
            files[(*fileCount)++] =
                PlannedFile{p.from == kFromTarget ? nullptr : p.record, p.dataOffset, i,
                            p.from == kFromDelta ? (int32_t)p.delta : -1};
    }
    return 1;
}

} // namespace

PlanListResult PlanUpdateList(bool overwriteOnly, PlannedFile* files, int* count) {
    *count = 0;
    uint32_t most = 0, innerMost = 0;
    for (int i = 0; i < UpdateList.count; ++i) {
        const uint32_t n = Separators(UpdateList.items[i].path) + 1;
        innerMost += n;
        most += 3 + n;
    }
    PathTable t;
    t.count = 0;
    t.bucketCount = most * 2 + 1;
    t.names = (char(*)[kPathSize])AllocFixed((size_t)most * kPathSize);
    t.states = (PlanPath*)AllocFixed((size_t)most * sizeof(PlanPath));
    t.buckets = (uint32_t*)AllocFixed((size_t)t.bucketCount * sizeof(uint32_t));
    t.next = (uint32_t*)AllocFixed((size_t)most * sizeof(uint32_t));
    PlanItem* items = (PlanItem*)AllocFixed((size_t)(UpdateList.count + 1) * sizeof(PlanItem));
    uint32_t* inner = (uint32_t*)AllocFixed((size_t)(innerMost + 1) * sizeof(uint32_t));
    PlanAction* actions = nullptr;
    PlanListResult result = kListFailed;
    bool noMemory = true;
    if (t.names && t.states && t.buckets && t.next && items && inner) {
        memset(t.buckets, 0, (size_t)t.bucketCount * sizeof(uint32_t));
        uint32_t innerCount = 0;
        for (int i = 0; i < UpdateList.count; ++i)
            GatherItem(t, UpdateList.items[i], &items[i], inner, &innerCount);
        PlanSnapshot s{t.states,
                       t.count,
                       items,
                       (uint32_t)UpdateList.count,
                       inner,
                       (uint8_t)overwriteOnly,
                       (uint8_t)PayloadRequires(PAYLOAD_FEATURE_NEW_FOLDERS),
                       Now()};
        actions = (PlanAction*)AllocFixed((PlanCapacity(s) + 1) * sizeof(PlanAction));
        if (actions) {
            PlanResult plan = PlanRun(s, actions);
            // Planned again with the file marked held: refused at the first item that needs it.
            if (plan.refusal == kPlanDone && HeldFile(t, actions, plan.count))
                plan = PlanRun(s, actions);
            noMemory = false;
            if (plan.refusal != kPlanDone)
                result = ShowRefusal(plan.refusal, t.names[plan.path]);
            else if (EnterActions(t, actions, plan.count, files, count))
                result = kListPlanned;
            else
                noMemory = true;
        }
    }
    if (noMemory)
        ShowUpdaterError("Can't Allocate Memory !!");
    FreeFixed(actions);
    FreeFixed(inner);
    FreeFixed(items);
    FreeFixed(t.next);
    FreeFixed(t.buckets);
    FreeFixed(t.states);
    FreeFixed(t.names);
    return result;
}
