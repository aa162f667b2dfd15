#include "update/run_plan.h"

#include <string.h>

namespace {

struct Planner {
    const PlanSnapshot& s;
    PlanAction* actions;
    uint32_t count;
    PlanResult result;
};

// The last action of the kind planned for path, or null.
PlanAction* Planned(Planner& p, uint32_t kind, uint32_t path) {
    for (uint32_t i = p.count; i-- > 0;) {
        if (p.actions[i].kind == kind && p.actions[i].path == path)
            return &p.actions[i];
    }
    return nullptr;
}

PlanAction* Add(Planner& p, uint32_t kind, uint32_t path) {
    PlanAction* a = &p.actions[p.count++];
    memset(a, 0, sizeof *a);
    a->kind = kind;
    a->path = path;
    return a;
}

int Refuse(Planner& p, PlanRefusal refusal, uint32_t path) {
    p.result.refusal = refusal;
    p.result.path = path;
    return 0;
}

// A path as the earlier items leave it: a file one of them writes is there, plain, with the time
// it will get; one whose read-only mark one of them clears is plain; a folder one of them makes
// is there.
struct View {
    int exists;
    uint32_t attributes;
    uint64_t size, writeTime, creationTime;
    PlanAction* earlier; // the replacement an earlier item planned, or null
};

View ViewOf(Planner& p, uint32_t path) {
    const PlanPath& disk = p.s.paths[path];
    View v{disk.exists, disk.attributes, disk.size, disk.writeTime, disk.creationTime, nullptr};
    v.earlier = Planned(p, kReplaceFile, path);
    if (v.earlier) {
        v.exists = 1;
        v.attributes = kPlanNormal;
        v.size = v.earlier->newSize;
        v.writeTime = v.earlier->hasTime && !v.earlier->creationOnly ? v.earlier->time : p.s.now;
        if (v.earlier->hasTime)
            v.creationTime = v.earlier->time;
    } else if (Planned(p, kCreateFolder, path)) {
        v.exists = 1;
        v.attributes = kPlanFolder;
    } else if (Planned(p, kDeleteFile, path) || Planned(p, kRemoveFolder, path)) {
        v.exists = 0;
    } else if (Planned(p, kFolderAttributes, path)) {
        v.attributes = kPlanNormal;
    }
    return v;
}

bool IsFolder(const View& v) {
    return v.exists && (v.attributes & kPlanFolder);
}

// Made by the run when it is not there; recorded ahead of the files that go into it, so that
// undoing runs through them first.
void PlanFolder(Planner& p, uint32_t folder) {
    if (!p.s.paths[folder].exists && !Planned(p, kCreateFolder, folder))
        Add(p, kCreateFolder, folder);
}

// A file the update removes: moved aside at the commit, put back by any undo, removed at the end.
// Nothing there is nothing to do; a file the run also writes stays written.
int PlanDeletion(Planner& p, const PlanItem& item) {
    const PlanPath& disk = p.s.paths[item.target];
    if (!disk.exists || Planned(p, kReplaceFile, item.target) ||
        Planned(p, kDeleteFile, item.target))
        return 1;
    if (disk.attributes & kPlanFolder)
        return Refuse(p, kPlanFolderDeleted, item.target);
    if (!disk.replaceable)
        return Refuse(p, kPlanInUse, item.target);
    PlanAction* a = Add(p, kDeleteFile, item.target);
    a->existed = 1;
    a->oldAttributes = disk.attributes;
    a->oldSize = disk.size;
    a->oldWriteTime = disk.writeTime;
    return 1;
}

// The position of path among the folders of the item's own path, or kNoPlanPath.
uint32_t InnerPosition(const PlanSnapshot& s, const PlanItem& item, uint32_t path) {
    for (uint32_t i = 0; i < item.innerCount; ++i) {
        if (s.inner[item.firstInner + i] == path)
            return i;
    }
    return kNoPlanPath;
}

// A file of the old release where the new one has a folder: the payload deletes it, so the
// commit moves it aside first and makes the folder in its place. The files that go into the
// folder are staged beside the file, as the folder is not there until the commit.
int TradeFileForFolder(Planner& p, uint32_t file) {
    for (uint32_t i = 0; i < p.s.itemCount; ++i) {
        const PlanItem& item = p.s.items[i];
        if (item.mode == Delete && item.target == file && !PlanDeletion(p, item))
            return 0;
    }
    if (!Planned(p, kDeleteFile, file))
        return Refuse(p, kPlanNoFolder, file);
    Add(p, kCreateFolder, file);
    return 1;
}

// A folder of the old release where the new one has a file: the payload deletes the files in
// it, so the commit moves them aside and removes the folders they leave, innermost first, before
// the file takes the name. A folder that still holds something (a file the payload does not
// name) cannot be removed, and the run then fails whole. 0 when the payload deletes nothing in
// it: the folder stays in the way.
int TradeFolderForFile(Planner& p, uint32_t folder) {
    uint32_t deepest = 0;
    for (uint32_t i = 0; i < p.s.itemCount; ++i) {
        const PlanItem& item = p.s.items[i];
        const uint32_t at = InnerPosition(p.s, item, folder);
        if (item.mode != Delete || at == kNoPlanPath)
            continue;
        if (!PlanDeletion(p, item))
            return 0;
        if (item.innerCount - at > deepest)
            deepest = item.innerCount - at;
    }
    if (deepest == 0)
        return Refuse(p, kPlanFolderInWay, folder);
    for (uint32_t depth = deepest; depth-- > 0;) {
        for (uint32_t i = 0; i < p.s.itemCount; ++i) {
            const PlanItem& item = p.s.items[i];
            const uint32_t at = InnerPosition(p.s, item, folder);
            if (item.mode != Delete || at == kNoPlanPath || at + depth >= item.innerCount)
                continue;
            // A folder this installation does not have is nothing to remove.
            const uint32_t inner = p.s.inner[item.firstInner + at + depth];
            if (IsFolder(ViewOf(p, inner)) && !Planned(p, kRemoveFolder, inner))
                Add(p, kRemoveFolder, inner);
        }
    }
    return 1;
}

// The folders of the item's own path, outermost first: made when the payload asks for it, else
// they must be there, as the item's folder is the one level a run makes.
int PlanInnerFolders(Planner& p, const PlanItem& item) {
    for (uint32_t i = 0; i < item.innerCount; ++i) {
        const uint32_t folder = p.s.inner[item.firstInner + i];
        const View v = ViewOf(p, folder);
        if (IsFolder(v))
            continue;
        if (!p.s.newFolders)
            return Refuse(p, kPlanNoFolder, folder);
        if (v.exists && !v.earlier) {
            if (!TradeFileForFolder(p, folder))
                return 0;
            continue;
        }
        if (v.exists)
            return Refuse(p, kPlanNoFolder, folder);
        Add(p, kCreateFolder, folder);
    }
    return 1;
}

struct Source {
    uint8_t from;
    const uint8_t* record;
    uint32_t dataOffset;
    uint32_t delta;
    uint64_t newSize;
    uint8_t hasTime;
    uint64_t time;
    bool leaveAlone; // an Update item whose target is newer than the new file
};

// A file the payload carries as deltas: built from the installed file when that is one of the
// recorded bases, kept when it already is the new file, else written whole when the payload has
// a whole copy. Anything else is another version of the game.
int ChooseDeltaSource(Planner& p, const PlanItem& item, const View& v, Source* s) {
    const PlanSource& src = item.source;
    s->hasTime = 1;
    s->time = src.deltaTime;
    if (item.mode == Update && v.exists && v.writeTime > src.deltaTime) {
        s->leaveAlone = true;
        return 1;
    }
    const uint8_t match = v.exists ? src.match : (uint8_t)kPlanMatchNone;
    if (match == kPlanMatchUnreadable)
        return Refuse(p, kPlanUnreadable, item.target);
    if (match == kPlanMatchResult)
        return 1;
    if (match == kPlanMatchBase) {
        *s = Source{kFromDelta,      src.deltaRecord,
                    src.deltaOffset, src.delta,
                    src.deltaSize,   1,
                    src.deltaTime,   false};
        return 1;
    }
    if (!src.record)
        return Refuse(p, kPlanOtherVersion, item.target);
    *s = Source{kFromEntry, src.record, src.dataOffset, 0, src.entrySize, 1, src.deltaTime, false};
    return 1;
}

int ChooseSource(Planner& p, const PlanItem& item, const View& v, Source* s) {
    *s = Source{kFromTarget, nullptr, 0, 0, v.size, 0, 0, false};
    // A Data file that is there keeps its own bytes.
    if (item.mode == Data && v.exists)
        return 1;
    // A missing Data file has no base: it is always written whole.
    if (item.mode != Data && item.source.hasDeltas)
        return ChooseDeltaSource(p, item, v, s);
    if (!item.source.record)
        return Refuse(p, kPlanNoEntry, item.target);
    *s = Source{kFromEntry,
                item.source.record,
                item.source.dataOffset,
                0,
                item.source.entrySize,
                1,
                item.source.entryTime,
                item.mode == Update && v.exists && v.writeTime > item.source.entryTime};
    return 1;
}

// What one update item writes, against the state the earlier ones leave. 1 when it writes
// nothing or was planned.
int PlanWrite(Planner& p, const PlanItem& item) {
    const PlanPath& disk = p.s.paths[item.target];
    View v = ViewOf(p, item.target);
    const bool isFolder = IsFolder(v);
    const bool skipped = (p.s.overwriteOnly || item.mode == Overwrite) && (!v.exists || isFolder);
    // Every item makes its folder first, one the overwrite-only rule then skips too; a folder is
    // made only inside one that is there.
    if (!skipped || (item.folderParent != kNoPlanPath && p.s.paths[item.folderParent].exists))
        PlanFolder(p, item.folder);
    if (skipped)
        return 1;
    // A path that names no file has no entry, whatever stands there.
    if (item.noName)
        return Refuse(p, kPlanNoEntry, item.target);
    // A folder of the installation gives way to the file when the payload deletes what it holds;
    // one an earlier item makes never does.
    const bool traded = isFolder && p.s.newFolders && (disk.attributes & kPlanFolder) &&
                        !Planned(p, kCreateFolder, item.target);
    if (isFolder && !traded)
        return Refuse(p, kPlanFolderInWay, item.target);
    if (traded) {
        if (!TradeFolderForFile(p, item.target))
            return 0;
        v = ViewOf(p, item.target);
    }
    // A data file the platform will not re-create with plain attributes (read-only, hidden or
    // system) stays exactly as it is.
    if (item.mode == Data && v.exists &&
        (v.attributes & (kPlanReadOnly | kPlanHidden | kPlanSystem)))
        return 1;
    Source source;
    if (v.earlier && item.mode == Data) {
        // Written back: the bytes the earlier item writes, with the time of the rewrite.
        source = Source{v.earlier->from,
                        v.earlier->record,
                        v.earlier->dataOffset,
                        v.earlier->delta,
                        v.size,
                        1,
                        v.creationTime,
                        false};
    } else if (v.earlier && item.source.hasDeltas) {
        // An earlier item already makes this file the new one.
        return 1;
    } else if (!ChooseSource(p, item, v, &source)) {
        return 0;
    } else if (item.mode == Data && v.exists) {
        // Written back as re-creating the file would: its creation time stays.
        source.hasTime = v.creationTime != 0;
        source.time = v.creationTime;
    }
    if (source.leaveAlone) {
        // Its read-only mark is cleared all the same: made at the commit, taken back with the
        // rest.
        if ((v.attributes & kPlanReadOnly) && !Planned(p, kFolderAttributes, item.target))
            Add(p, kFolderAttributes, item.target)->oldAttributes = disk.attributes;
        return 1;
    }
    if (disk.exists && !traded && !disk.replaceable)
        return Refuse(p, kPlanInUse, item.target);
    if (!PlanInnerFolders(p, item))
        return 0;
    // A later item for the same file takes the earlier one's place, as it would have written
    // last.
    PlanAction* a = v.earlier;
    if (!a) {
        a = Add(p, kReplaceFile, item.target);
        a->existed = disk.exists && !traded;
        a->oldAttributes = disk.attributes;
        a->oldSize = disk.size;
        a->oldWriteTime = disk.writeTime;
    }
    a->newSize = source.newSize;
    a->hasTime = source.hasTime;
    a->creationOnly = item.mode == Data && v.exists;
    a->time = source.time;
    a->from = source.from;
    a->record = source.record;
    a->dataOffset = source.dataOffset;
    a->delta = source.delta;
    return 1;
}

} // namespace

size_t PlanCapacity(const PlanSnapshot& s) {
    // Per item at most its folder, its inner folders and one action of its own.
    size_t n = 0;
    for (uint32_t i = 0; i < s.itemCount; ++i)
        n += 2 + s.items[i].innerCount;
    return n;
}

PlanResult PlanRun(const PlanSnapshot& s, PlanAction* actions) {
    Planner p{s, actions, 0, PlanResult{kPlanDone, kNoPlanPath, 0}};
    for (uint32_t i = 0; i < s.itemCount; ++i) {
        const PlanItem& item = s.items[i];
        const int planned = item.mode == Delete ? PlanDeletion(p, item) : PlanWrite(p, item);
        if (!planned)
            break;
    }
    p.result.count = p.count;
    return p.result;
}
