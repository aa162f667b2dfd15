// Files the payload carries as deltas: which recorded base an installed file is, and the new
// file rebuilt from it. The installed file is only read here; the result goes through the staged
// run like any other new file.
#pragma once

#include <stdint.h>

#include "update/journal_format.h"

// 1 when the payload carries a delta for the entry name; *time receives the time stamp of the
// file the deltas rebuild.
int HasDeltasFor(const char* name, uint64_t* time);

enum InstalledMatch {
    kMatchNone = 0,      // neither a recorded base nor the new file
    kMatchBase = 1,      // a recorded base: *delta names the delta that rebuilds from it
    kMatchResult = 2,    // already the new file, byte for byte
    kMatchUnreadable = 3 // could not be read whole
};

// Compares the installed file at path, size bytes long, with the bases and the new file the
// payload records for the entry name, by size and then SHA-256.
InstalledMatch MatchInstalledFile(const char* path, uint64_t size, const char* name,
                                  uint32_t* delta);

// The size of the file delta number `delta` rebuilds.
uint64_t DeltaResultSize(uint32_t delta);

// The record of the entry holding delta number `delta` and where its stored bytes begin.
const uint8_t* DeltaEntryRecord(uint32_t delta, uint32_t* dataOffset);

// Stages the new file of the action (whose target is the installed base) rebuilt by delta
// number `delta`: the base is read by position, never whole, after a check that it still is the
// recorded base; the result goes window by window into the staged file, hashed as it passes.
// 1 when the staged file holds the recorded result; else 0 after a message naming what is wrong,
// with no staged file left.
int StageDeltaResult(JournalAction* a, uint32_t delta);
