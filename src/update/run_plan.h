// What a run will do, decided from what stands on the disk before it. The update items, then the
// delete items, each in list order against the state the earlier ones leave, become the actions
// of the run's journal. Free of the platform: the caller gathers the states of every path the
// items name (update/update_run.cpp on Windows) and carries the actions out.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "update/journal_format.h"
#include "update/update_items.h"

// The attribute bits the rules read, with the values the platform reports them by.
const uint32_t kPlanReadOnly = 0x01;
const uint32_t kPlanHidden = 0x02;
const uint32_t kPlanSystem = 0x04;
const uint32_t kPlanFolder = 0x10;
const uint32_t kPlanNormal = 0x80;

const uint32_t kNoPlanPath = 0xFFFFFFFFu;

// One path the items name, as it stands before the run. Each path is listed once (names
// compared as the platform compares them), so that the planner compares indexes, never names.
struct PlanPath {
    uint8_t exists;
    uint8_t replaceable; // no other program holds it against being renamed away
    uint32_t attributes;
    uint64_t size, writeTime, creationTime; // FILETIME
};

// What the installed file is, against the bases and the result that the payload's deltas record.
enum PlanMatch : uint8_t {
    kPlanMatchNone = 0,
    kPlanMatchBase = 1,   // a recorded base: delta rebuilds the new file from it
    kPlanMatchResult = 2, // already the new file
    kPlanMatchUnreadable = 3
};

// Where an item's new file can come from.
struct PlanSource {
    const uint8_t* record; // the payload's whole entry of the item's name, or null
    uint32_t dataOffset;
    uint64_t entrySize, entryTime;
    uint8_t hasDeltas; // the payload rebuilds the file from recorded bases
    uint8_t match;     // PlanMatch of the target on disk; asked for only where the rules read it
    uint64_t deltaTime;
    uint32_t delta;             // with kPlanMatchBase
    const uint8_t* deltaRecord; // the entry holding that delta
    uint32_t deltaOffset;
    uint64_t deltaSize; // the size of what it rebuilds
};

struct PlanItem {
    int32_t mode;    // UpdateMode
    uint8_t noName;  // the path names no file (empty, or ending in a separator): no entry has it
    uint32_t target; // indexes into PlanSnapshot.paths
    uint32_t folder; // the folder it is written into: its base folder joined with DataFolder
    uint32_t folderParent;           // that folder's parent, or kNoPlanPath
    uint32_t firstInner, innerCount; // the folders of its own path, outermost first, in inner
    PlanSource source;
};

struct PlanSnapshot {
    const PlanPath* paths;
    uint32_t pathCount;
    const PlanItem* items; // the update items, then the delete items
    uint32_t itemCount;
    const uint32_t* inner;
    uint8_t overwriteOnly;
    uint8_t newFolders; // every missing folder of an item's path is made, not only its folder
    uint64_t now;       // the time a file written back without a time stamp gets
};

enum PlanSourceKind : uint8_t {
    kFromTarget = 0, // the target's own bytes, written back
    kFromEntry = 1,
    kFromDelta = 2
};

// One journal action, its paths named by index.
struct PlanAction {
    uint32_t kind; // JournalActionKind
    uint32_t path;
    uint32_t existed;
    uint32_t oldAttributes;
    uint64_t oldSize, oldWriteTime, newSize;
    uint8_t hasTime;      // the new file gets time once in place
    uint8_t creationOnly; // a file written back: time is only its creation time
    uint64_t time;
    // Of a kReplaceFile: where its bytes come from.
    uint8_t from; // PlanSourceKind
    const uint8_t* record;
    uint32_t dataOffset;
    uint32_t delta;
};

enum PlanRefusal {
    kPlanDone = 0,
    kPlanNoEntry,       // the payload has no entry for an item that needs one
    kPlanNoFolder,      // a folder of the item's path is not there, and the payload makes none
    kPlanUnreadable,    // an installed file that must be read cannot be read whole
    kPlanOtherVersion,  // an installed file that is neither a base nor the new file
    kPlanFolderInWay,   // a folder stands where a file is to be written
    kPlanFolderDeleted, // a delete item names a folder
    kPlanInUse          // another program holds a file the run must rename
};

struct PlanResult {
    PlanRefusal refusal;
    uint32_t path; // what the refusal names
    uint32_t count;
};

// Room PlanRun may need for the actions of the snapshot.
size_t PlanCapacity(const PlanSnapshot& s);

// The run's actions in the order they are made (undone in the reverse order). Stops at the first
// item that cannot be planned, naming what refused it; a run of no action has nothing to write.
PlanResult PlanRun(const PlanSnapshot& s, PlanAction* actions);
