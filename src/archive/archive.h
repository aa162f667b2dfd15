// The payload archive the updater carries: opened once at start-up, read in place, its entries
// looked up by name and written to disk.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "archive/archive_index.h"

// The payload resource, locked in memory for the whole run, and its size (never 0 once set).
extern const uint8_t* PayloadData;
extern uint32_t PayloadSize;
// The open archive index (header copy, then records) or null, and its first record.
extern uint8_t* CurrentArchiveIndex;
extern const uint8_t* ArchiveEntries;

// A new index decoded from PayloadData/PayloadSize, or null for a damaged archive or a lack of
// memory. Shows nothing: the caller reports the failure.
uint8_t* OpenArchive();
// Makes the result of OpenArchive the current index; 0 when it failed.
int UseArchiveIndex(uint8_t* index);
// Releases the current index, if any.
void CloseArchive();

// The record of the named entry in the current index, with where its stored bytes begin in the
// payload; null after "Can't Find File in Resource !!".
const uint8_t* FindEntryRecord(const char* name, uint32_t* dataOffset);

// The entry's decoded bytes: in place when stored as is, else a new fixed block that the caller
// may release with FreeFixed. Null after a message when the entry is missing, damaged or there
// is no memory for it. *outSize (optional) receives the decoded size.
// Shows the message for a failed DecodeEntry; 1 when it succeeded.
int ReportDecodeFailure(EntryDecodeResult result);

const void* FindEntryData(const char* name, uint32_t* outSize);

// Writes the entry to targetPath (at most 260 bytes) with the entry's time stamp. With keepNewer,
// a target whose last-write time is later than the entry's is left alone. 1 when written or left
// alone, 0 on failure (after a message where there is one to give).
int ExtractEntry(const char* name, const char* targetPath, int keepNewer);

// Free bytes available to the caller on the drive named by the path's first two characters,
// which *drive receives ("C:"); 0 when the platform cannot tell (a path without a drive letter,
// for one).
int QueryFreeBytes(const char* path, char drive[3], uint64_t* freeBytes);

// 1 when a file can be written at path: the temporary file it is first written to, beside it,
// must fit the platform's path limit as well. Lets callers refuse a path before any write.
int HasRoomToWrite(const char* path);

// Replaces the file at path by size bytes of data, through a temporary file beside it, so that
// a failure at any point leaves the old file whole. With time, all three file times are set to
// it. 1 only when all of it succeeded.
int WriteWholeFile(const char* path, const void* data, uint32_t size, const FILETIME* time);
