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
// payload records for the entry name: by size, then by the sampled identities the payload
// records (archive/file_sample.h), then, only where those leave a doubt (the new file itself,
// or two bases alike in their samples) or where the payload records none, by SHA-256 of the
// whole file. A base known by its sample alone is proven by the digest of its result.
InstalledMatch MatchInstalledFile(const char* path, uint64_t size, const char* name,
                                  uint32_t* delta);

// The entry name of the file delta number `delta` rebuilds.
const char* DeltaTargetName(uint32_t delta);

// The size of the file delta number `delta` rebuilds.
uint64_t DeltaResultSize(uint32_t delta);

// The record of the entry holding delta number `delta` and where its stored bytes begin.
const uint8_t* DeltaEntryRecord(uint32_t delta, uint32_t* dataOffset);

enum DeltaStaging {
    kDeltaStaged = 1,    // the staged file holds the recorded result
    kDeltaNotStaged = 0, // after a message naming what is wrong
    // The installed file, known by its sample, is not the base after all: nothing said yet, so
    // that the caller can write the whole entry instead or name the file.
    kDeltaOtherBase = 2
};

// Stages the new file of the action (whose target is the installed base) rebuilt by delta
// number `delta`: the base is read by position, never whole, after a check that it still is the
// recorded base (its sample, or its whole digest when the payload records no samples); the
// result goes window by window into the staged file, hashed as it passes, and that digest must
// be the recorded result's. No staged file is left unless kDeltaStaged.
DeltaStaging StageDeltaResult(JournalAction* a, uint32_t delta);
// Lets go of the working memory StageDeltaResult keeps for the next delta of the run.
void ReleaseDeltaMemory();
