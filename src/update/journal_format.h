// The journal a run keeps while it replaces files: what each replaced or created file was, and
// where its new and old bytes stand, so that a run that died half-way can be undone at the next
// start. Free of the platform: written and read as bytes (where it is kept: update/commit.h).
//
// Layout, little-endian: "QVJ1", version (2), state, action count; the install and data folders
// the run used; per action its kind, whether the target existed, its old attributes, old size,
// old last-write time and new size (32, 32, 32, 64, 64, 64 bits), the SHA-256 of the new file
// (zero until it is staged), then the target, staged and backup paths. Each path is a 16-bit
// length and that many CP932 bytes (no NUL). Last, the SHA-256 of everything before it: a check
// against damage only; what makes the journal trusted is where it is kept.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "core/text.h"

// While replacements are under way every action is undone at the next start; once the run has
// passed the point where its change counts as made, only old copies remain to be removed.
enum JournalState : uint32_t { kJournalInForce = 1, kJournalCommitted = 2 };

// The folders the run wrote below, as it used them: every path of the journal lies below one
// of them (the data folder may be empty).
struct JournalFolders {
    uint32_t state;
    char install[kPathSize];
    char data[kPathSize];
};

enum JournalActionKind : uint32_t {
    kReplaceFile = 1,      // target replaced by staged, the old one kept as backup until the end
    kCreateFolder = 2,     // target is a folder the run created
    kFolderAttributes = 3, // target is a folder or file whose attributes the run set (old kept)
    kStagingFolder = 4,    // target is a folder of the run's own, removed with what it holds
    kDeleteFile = 5,       // target moved aside to backup, which is removed at the end
    kRemoveFolder = 6      // target is a folder the run emptied and removed (made again by undo)
};

struct JournalAction {
    uint32_t kind;
    uint32_t existed;
    uint32_t oldAttributes;
    uint64_t oldSize;
    uint64_t oldWriteTime;
    uint64_t newSize;
    uint8_t newDigest[32];
    char target[kPathSize];
    char staged[kPathSize];
    char backup[kPathSize];
};

const uint32_t kJournalVersion = 2;
// Far more than any run writes; bounds what a damaged count can make a reader allocate.
const uint32_t kMaxJournalActions = 1u << 16;
// The most a journal may take: it is kept as one registry value, and a run whose journal would
// be larger fails before it changes anything.
const size_t kMaxJournalBytes = 1u << 20;

// Bytes the journal of these actions takes.
size_t JournalSize(const JournalFolders& folders, const JournalAction* actions, uint32_t count);
// Writes it into out (JournalSize bytes).
void WriteJournal(const JournalFolders& folders, const JournalAction* actions, uint32_t count,
                  uint8_t* out);

enum JournalReadResult { kJournalRead = 0, kJournalDamaged = 1, kJournalTooLarge = 2 };

// The number of actions a journal holds, after checking its whole structure and its digest.
JournalReadResult CountJournalActions(const uint8_t* data, size_t size, uint32_t* count);
// Reads the folders and the actions into out (room for capacity); kJournalDamaged for anything
// but a journal that WriteJournal could have written, kJournalTooLarge when capacity is short.
JournalReadResult ReadJournal(const uint8_t* data, size_t size, JournalFolders* folders,
                              JournalAction* out, uint32_t capacity, uint32_t* count);
