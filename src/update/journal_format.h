// The journal a run leaves in the install folder while it replaces files: what each replaced
// or created file was, and where its new and old bytes stand, so that a run that died half-way
// can be undone at the next start. Free of the platform: written and read as bytes.
//
// Layout, little-endian: "QVJ1", version (1), action count; per action its kind, whether the
// target existed, its old attributes, old size, old last-write time and new size (32, 32, 32,
// 64, 64, 64 bits), then the target, staged and backup paths, each a 16-bit length and that many
// CP932 bytes (no NUL); last, the SHA-256 of everything before it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "core/text.h"

// The journal while replacements are under way, and the same file once the run has passed
// the point where its change counts as made and only old copies remain to be removed.
extern const char kJournalName[];
extern const char kCommittedJournalName[];
// A journal being written: never in force, and removed wherever it is found.
extern const char kUnfinishedJournalName[];

enum JournalActionKind : uint32_t {
    kReplaceFile = 1,      // target replaced by staged, the old one kept as backup until the end
    kCreateFolder = 2,     // target is a folder the run created
    kFolderAttributes = 3, // target is a folder or file whose attributes the run set (old kept)
    kStagingFolder = 4,    // target is a folder of the run's own, removed with what it holds
    kDeleteFile = 5        // target moved aside to backup, which is removed at the end
};

struct JournalAction {
    uint32_t kind;
    uint32_t existed;
    uint32_t oldAttributes;
    uint64_t oldSize;
    uint64_t oldWriteTime;
    uint64_t newSize;
    char target[kPathSize];
    char staged[kPathSize];
    char backup[kPathSize];
};

const uint32_t kJournalVersion = 1;
// Far more than any run writes; bounds what a damaged count can make a reader allocate.
const uint32_t kMaxJournalActions = 1u << 16;

// Bytes the journal of these actions takes.
size_t JournalSize(const JournalAction* actions, uint32_t count);
// Writes it into out (JournalSize bytes).
void WriteJournal(const JournalAction* actions, uint32_t count, uint8_t* out);

enum JournalReadResult { kJournalRead = 0, kJournalDamaged = 1, kJournalTooLarge = 2 };

// The number of actions a journal holds, after checking its whole structure and its digest.
JournalReadResult CountJournalActions(const uint8_t* data, size_t size, uint32_t* count);
// Reads the actions into out (room for capacity); kJournalDamaged for anything but a journal
// that WriteJournal could have written, kJournalTooLarge when capacity is short.
JournalReadResult ReadJournal(const uint8_t* data, size_t size, JournalAction* out,
                              uint32_t capacity, uint32_t* count);
