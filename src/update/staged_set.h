// Everything one run will change in the installation, gathered before the first change: each
// new file written in full beside its target (same folder, so the same volume) while the target
// stays untouched, and each folder the run creates. The commit (update/commit.h) then swaps
// names, and a failure anywhere puts every touched name back as it was.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "archive/delta_apply.h"
#include "archive/sha256.h"
#include "update/journal_format.h"

// How far one action has got: the undo of an action reverses exactly these steps.
enum ActionStep : uint8_t {
    kPlanned = 0,
    kStaged = 1,   // the staged file or the created folder exists
    kBackedUp = 2, // the old target is under its backup name
    kInPlace = 3   // the new file stands at the target
};

struct ActionState {
    uint8_t step;
    uint8_t hasTime;      // the new file gets the entry's time stamp once in place
    uint8_t creationOnly; // a file written back: time is only its creation time, kept
    uint64_t time;        // FILETIME
    // The staged file, held open from its creation to its rename (others may only read it),
    // and the digest of what was written into it, which becomes its seal.
    HANDLE file;
    Sha256Context written;
    uint32_t placedAttributes; // given to the file once in place (a disc copy's own), or 0
};

// The run's changes, in the order they are made; undone in the reverse order.
struct StagedSetData {
    JournalAction* actions;
    ActionState* states;
    uint32_t count;
    uint32_t capacity;
};
extern StagedSetData StagedSet;

// Releases the set; the next run starts from an empty one.
void ResetStagedSet();

// A new action at the end of the set, zeroed; null when memory runs out.
JournalAction* AddAction(uint32_t kind, const char* target);
ActionState* StateOf(const JournalAction* action);

// Takes an action out of the set, removing its staged file.
void DropAction(JournalAction* action);

// The last action that replaces target (compared as the platform compares names), or null.
JournalAction* FindReplacement(const char* target);

// A name of the form "~qvXXXXXXXX.ext" beside path (same folder) that nothing holds yet, the
// eight hexadecimal digits from the platform's random source, so that no other program can
// know it ahead; 0 when it would not fit a path or no random bytes came.
int SiblingName(const char* path, const char* extension, char out[kPathSize]);

// The staged file of the action, created empty (the target is not touched) and held open, others
// allowed only to read it; INVALID_HANDLE_VALUE when it cannot be.
HANDLE CreateStaged(JournalAction* action);
// Writes the next size bytes to the action's staged file in parts, hashing them as they go (and
// adding them to check, a delta's own check of its result, unless it is null), the progress bar
// moving; 1 when all were written.
int WriteStaged(JournalAction* action, const uint8_t* data, uint64_t size,
                DeltaCheckState* check = nullptr);
// Flushes the staged file and seals it: the digest of what was written becomes the action's
// newDigest, and must equal expected (the payload's own digest of the new file) when that is
// given. When ok is 0 or any of that fails, the file is removed again. The file stays open.
// 1 when the staged file is complete.
int FinishStaged(JournalAction* action, int ok, const uint8_t* expected);
// Removes the staged file, through its handle while it is held; 1 when it is gone.
int DiscardStaged(JournalAction* action);
// Renames the held staged file to its target by its handle; 1 when it stands there.
int RenameStaged(JournalAction* action);
// Gives the file just renamed into place the action's time (and a disc copy's attributes), and
// lets its handle go; 1 when all of that was done.
int FinishPlaced(JournalAction* action);

// Creates the staged file of the action and writes data into it, flushed; the target is not
// touched. 0 on failure, the staged file then removed.
int StageBytes(JournalAction* action, const uint8_t* data, uint64_t size);

// Writes and reads go in parts so that the dialog can repaint and its progress bar move.
const DWORD kPartSize = 4u << 20;
// Staged files are written in parts of this size, the progress bar moving after each.
const DWORD kWritePartSize = 1u << 20;

// Opens an installed file for reading, others allowed to read it too (through the file gate).
HANDLE OpenTargetForReading(const char* path);

// The SHA-256 of a file's bytes, read in parts through buffer (kPartSize bytes). 0 when it
// cannot be read whole.
int HashFile(const char* path, uint8_t* buffer, uint8_t digest[32]);

enum CopyResult { kCopied = 1, kCopyUnreadable = 0, kCopyFailed = -1 };
// Stages a copy of the target's own bytes (a data file written back as it is), read in parts so
// that a file of any size is copied whole: kCopyUnreadable when the target cannot be read whole,
// kCopyFailed when the staged file cannot be written.
CopyResult StageCopyOfTarget(JournalAction* action);

// Creates the folder of a kCreateFolder or kStagingFolder action (one level); 1 when it was
// created now or before. Fails when the name is taken, so the folder is always the run's own.
// The file gate holds it from then on (no other program can rename it or put a link in its
// place) until it is removed or the run ends.
int CreatePlannedFolder(JournalAction* action);
// Kept for the callers that let the staging folder go before removing it: the gate's removal
// lets go of it itself.
void ReleaseStagingFolder();

// Attributes, size and last-write time of a path; 0 when there is nothing there.
int QueryPath(const char* path, DWORD* attributes, uint64_t* size, uint64_t* writeTime);
