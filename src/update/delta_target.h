// Files the payload carries as deltas: which recorded base an installed file is, and the new
// file rebuilt from it. The installed file is only read here; the result goes through the staged
// run like any other new file.
#pragma once

#include <stdint.h>

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

// Reads the base at path whole, makes sure it is still the recorded one, applies the delta and
// checks the result against its hash. 1 and a new fixed block of *size bytes (release it with
// FreeFixed), or 0 after a message naming what is wrong.
int BuildDeltaResult(const char* path, uint32_t delta, uint8_t** result, uint64_t* size);
