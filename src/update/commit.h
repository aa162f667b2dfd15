// Making the staged set real, all or nothing. The journal is kept, flushed, before the first
// change of any kind; each target is then swapped with its staged file, the old one kept under
// a backup name; marking the journal committed is the one point where the change counts as
// made. A failure before that point undoes every step taken; a run that died is undone by the
// next start of an updater for the game, from the journal.
//
// The journal is a binary value under the local machine's root, at the game's key path
// (InstallRecord.KeyPath), where only an elevated program can write: the next start obeys
// nothing that any program of the user could have written. Each change of it replaces the
// value whole, which the registry makes at once or not at all.
#pragma once

#include <stdint.h>

#include "core/text.h"

// Writes the journal of the staged set as it stands and puts it in force (first before anything
// is staged, again once the disc copies have joined the set). 0 on failure: roll back then.
int PutJournalInForce();

// Swaps every target with its staged file under the journal in force. 1 once the change counts as
// made (old copies may remain for the next start to remove, under the committed journal); 0 when it
// failed before that point: roll back then.
int CommitStagedSet();

// Undoes every step of the set, last first. 1 when the installation is as it was; 0 when some
// step could not be undone, the journal then kept for the next start.
int RollBackStagedSet();

// At start, before the dialog: finishes or undoes what a run that died left. 1 when there was
// nothing, or the old state was restored (saying so); 0 after a message when what was found
// cannot be acted on safely, the files then left as they are.
int RecoverInterruptedRun();

// The last action of the kind among actions[from, to) whose target is path or a folder above it
// (compared as the platform compares names), or null. A file the run writes below a file it
// deletes is staged beside that file, and a file it deletes below a folder it removes is moved
// aside beside that folder: neither place is there, or empty, before the commit.
struct JournalAction;
const JournalAction* ActionAbove(const JournalAction* actions, uint32_t from, uint32_t to,
                                 uint32_t kind, const char* path);

// Removes what only an undo would have needed: the backups and the staging folders of the
// actions. 1 when nothing of them is left.
int RemoveOldCopies(const JournalAction* actions, uint32_t count);

// Removes the folders that the deletions among the actions left empty (once the change is made).
void RemoveEmptiedFolders(const JournalAction* actions, uint32_t count);

// The registry value that holds the journal, below HKEY_LOCAL_MACHINE at InstallRecord.KeyPath.
extern const char kJournalValueName[];
// Where a journal the next start refused is kept, beside it, for support.
extern const char kRefusedJournalValueName[];
// Removes the journal; 1 when it is gone.
int RemoveJournal();
// Removes a folder of the run's own with everything in it. A link met on the way (a junction,
// a symbolic link) is removed itself; nothing it leads to is touched.
int RemoveTree(const char* folder);
// 1 when path, which lies below folder, is reached from folder without passing a link: the
// final path of the deepest part of it that exists is the folder's own final path followed by
// the same names. A link the platform does not mark as one is caught this way too.
int ReachedWithoutLinks(const char* path, const char* folder);
// The platform's check of a path read back from somewhere: in the one exact form, given back
// unchanged by the platform's own full-path rule.
int IsExactPath(const char* path);
