// The payload archive the updater carries: opened once at start-up, read in place, its entries
// looked up by name and written to disk.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "archive/archive_index.h"
#include "archive/payload_integrity.h"
#include "archive/payload_large.h"

// The payload resource, locked in memory for the whole run, and its size (never 0 once set).
extern const uint8_t* PayloadData;
extern uint32_t PayloadSize;
// The open archive index (header copy, then records) or null, and its first record.
extern uint8_t* CurrentArchiveIndex;
extern const uint8_t* ArchiveEntries;

// The payload's integrity record once CheckPayloadIntegrity has found it whole: covered is 1 and
// record points into the payload, or into block when the record had to be decoded. Reset by
// UseArchiveIndex and CloseArchive.
struct PayloadIntegrityState {
    int covered;
    IntegrityRecord record;
    uint8_t* block;
};
extern PayloadIntegrityState PayloadIntegrity;

// A new index decoded from PayloadData/PayloadSize, or null for a damaged archive or a lack of
// memory. Shows nothing: the caller reports the failure.
uint8_t* OpenArchive();
// Makes the result of OpenArchive the current index; 0 when it failed. The payload counts as
// not covered until CheckPayloadIntegrity says otherwise.
int UseArchiveIndex(uint8_t* index);
// Releases the current index, if any, and the integrity record.
void CloseArchive();

// Checks the current index against the payload's integrity record, right after the archive is
// opened. 1 when the record is whole and the index matches it (the payload is then covered), or
// when the payload has no record; 0 after a message when the record is damaged, the index does
// not match it, or it asks for a feature this updater does not know.
int CheckPayloadIntegrity();

// Checks an entry's decoded bytes (rec: its record in the current index) against their hash.
// 1 when they match or the payload or the entry is not covered; 0 after a message naming the
// entry.
int CheckEntryIntegrity(const uint8_t* rec, const uint8_t* decoded, uint64_t size);

// 1 when the payload's record holds a digest of the whole image and the image matches it: every
// stored byte is then the publisher's, and no entry needs decoding to be known whole. 0 when
// there is no such digest or the image differs from it (then check entry by entry).
int PayloadImageIntact();

// The decoded size of an entry of the current index: a placed entry's from its descriptor.
uint64_t EntrySizeOf(const uint8_t* rec);
// 1 and *out when the entry is placed (archive/payload_large.h) in a covered payload.
int PlacedEntryOf(const uint8_t* rec, PlacedEntry* out);

// An entry's decoded bytes read forward in parts. One stored as is, scrambled or not, is read
// straight from the payload and unscrambled part by part, so that it is never held whole; a
// placed one is read chunk by chunk from the payload or from the volumes; any other compressed
// one is one stream of the block format and is decoded (and checked) whole first.
const uint32_t kEntryPartSize = 1u << 20;
struct EntryReader {
    const uint8_t* rec;
    const uint8_t* stored; // the entry's stored bytes in the payload
    const uint8_t* whole;  // a compressed entry's decoded bytes, or null
    uint8_t* block;        // what holds them, released by CloseEntryReader
    uint64_t size;         // the decoded size
    uint64_t at;           // bytes read so far
    bool placed;
    bool inVolumes;
    ChunkedReader chunked; // a placed entry's reader; its context is this reader
};
// 1 when the reader is ready; 0 after the message of what is wrong. The reader must stay where
// it was opened until it is closed.
int OpenEntryReader(const uint8_t* rec, uint32_t offset, EntryReader* r);
// The next n bytes (at most what is left) into to; 1 when they were read, 0 after the message of
// what is wrong (a volume that cannot be read, a damaged chunk, a lack of memory).
int ReadEntryPart(EntryReader* r, uint8_t* to, uint32_t n);
void CloseEntryReader(EntryReader* r);

// Checks the SHA-256 of an entry's decoded bytes, computed as they were read, against the
// payload's record; 1 when they match or the entry is not covered, 0 after a message naming it.
int CheckEntryDigest(const uint8_t* rec, const uint8_t digest[kSha256Size]);

// Decodes the named entry and checks it against its hash, writing nothing and keeping nothing.
// 1 when it is whole (or not covered); 0 after the message of what is wrong.
int VerifyEntry(const char* name);

// The record of the named entry in the current index, with where its stored bytes begin in the
// payload; null after "Can't Find File in Resource !!". The integrity record is no entry that
// can be asked for.
const uint8_t* FindEntryRecord(const char* name, uint32_t* dataOffset);
// The same without a message: null when there is no such entry.
const uint8_t* LookupEntryRecord(const char* name, uint32_t* dataOffset);

// Tells the player that the payload's bytes for the named file are damaged.
void ShowPayloadDamaged(const char* name);

// Shows the message for a failed DecodeEntry; 1 when it succeeded.
int ReportDecodeFailure(EntryDecodeResult result);

// Decodes the entry whose stored bytes begin at offset and checks it against its hash. With a
// covered payload, a stream that does not decode is told as damage of that entry by name. 1 and
// the bytes (*block, possibly null, for the caller to release with FreeFixed), or 0 after a
// message with nothing left allocated.
int DecodeCheckedEntry(const uint8_t* rec, uint32_t offset, const uint8_t** bytes, uint8_t** block);

// The entry's decoded bytes: in place when stored as is, else a new fixed block that the caller
// may release with FreeFixed. Null after a message when the entry is missing, damaged (its hash
// does not match) or there is no memory for it. *outSize (optional) receives the decoded size.
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
