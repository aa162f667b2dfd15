// What a run's file work costs: the bytes read from files and written to them through the
// operation tables, and the bytes hashed. A run says them per file and in total through the
// platform's debug output, where a benchmark reads them and a user never sees them.
#pragma once

#include <stdint.h>

struct IoCountData {
    uint64_t read;
    uint64_t written;
    uint64_t hashed;
    uint64_t milliseconds; // since the system started
};

// The counts so far.
IoCountData IoCountNow();

// Puts counting around the table's reads and writes; called once the table is bound.
void CountIo();

// Says "I/O <what>: read R, written W, hashed H for N bytes of result in T ms", the counts
// being those since `since`.
void ReportIo(const char* what, const IoCountData& since, uint64_t resultBytes);
