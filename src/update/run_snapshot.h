// The platform's side of planning: what stands at every path the update list names, gathered
// once, handed to the planner (update/run_plan.h), and its actions entered into the staged set.
#pragma once

#include <stdint.h>

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

enum PlanListResult {
    kListPlanned = 1,
    kListFailed = 0, // after a message: a failed write
    kListOtherVersion =
        -1, // after a message: an installed file of another version, no failed write
};

// Plans UpdateList into the (empty) staged set; files receives one PlannedFile per file the run
// writes (room for every item), *count their number.
PlanListResult PlanUpdateList(bool overwriteOnly, PlannedFile* files, int* count);

// The payload's own extensions of UPDATE.INI and of its entries, which an updater without them
// refuses the payload for.
bool PayloadRequires(uint32_t feature);
