// Large payloads: entries of any 64-bit size, stored in independent chunks, and volumes, files
// beside UPDATE.exe that hold the bytes of entries too large for the program's image. A payload
// that uses any of it requires PAYLOAD_FEATURE_LARGE, so that a reader without it refuses the
// payload before it writes anything; a payload that uses none of it is written exactly as before.
//
// What is large travels in the integrity record (archive/payload_integrity.h):
//
// Section 6, placed entries: 4 bytes count, 4 bytes reserved (0), then count descriptors of
// kPlacedEntrySize bytes, positions rising, all integers little-endian:
//
//     0   4  position in the index of the entry described
//     4   4  flags: bit 0 (kPlacedInVolumes) the stored bytes lie in the volumes; other bits 0
//     8   8  in the volumes: where the stored bytes begin in the volume stream (the volumes one
//            after another, in their order); otherwise 0, the bytes being where the index puts
//            them
//    16   8  stored size: the chunk table and the chunks
//    24   8  decoded size: the file's size
//    32   4  chunk size: decoded bytes per chunk, a power of two from kMinChunkSize to
//            kMaxChunkSize; every chunk but the last holds that many
//    36   4  chunk count: decoded size / chunk size, rounded up (0 for an empty file)
//    40   8  reserved, 0
//
// The index record of a placed entry keeps its name and time stamp and says "compressed"
// (storeMethod 2) with decodedSize 0, so that a reader that ignores the record cannot take it
// for an empty file; its storedSize is the stored size when the bytes lie in the image (they
// are then laid out in the data area as any entry's) and 0 when they lie in the volumes. Its
// scrambleMethod applies to every chunk.
//
// The stored bytes: the chunk table, chunk count words of 4 bytes (bit 31: the chunk is
// compressed as one stream of the block format; bits 0-30: its stored size), never scrambled;
// then the chunks one after another, without padding. A chunk is compressed (when that made it
// smaller), then scrambled keyed by its own stored size when the entry is scrambled. A chunk
// stored as is has exactly its decoded size. Each chunk decodes on its own, so a reader needs
// memory for one chunk, whatever the entry's size.
//
// Section 7, volumes: 4 bytes count (at least 1, at most kMaxVolumes), 4 bytes reserved (0),
// then count volume records of kVolumeRecordSize bytes:
//
//     0  260  file name: CP932, NUL-terminated, rest zero; a plain name (no folder, drive or
//             stream), looked for in the folder of the running UPDATE.exe whatever it is called
//   260    4  reserved, 0
//   264    8  size in bytes, at least 1
//   272   32  SHA-256 of the volume's bytes
//
// A volume holds nothing but stored bytes of placed entries; an entry may run from one volume
// into the next. Section 7 is present exactly when some placed entry lies in the volumes.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "archive/archive_format.h"
#include "archive/sha256.h"

const uint32_t kPlacedEntrySize = 48;
const uint32_t kPlacedPositionOffset = 0;
const uint32_t kPlacedFlagsOffset = 4;
const uint32_t kPlacedOffsetOffset = 8;
const uint32_t kPlacedStoredSizeOffset = 16;
const uint32_t kPlacedDecodedSizeOffset = 24;
const uint32_t kPlacedChunkSizeOffset = 32;
const uint32_t kPlacedChunkCountOffset = 36;
const uint32_t kPlacedReservedOffset = 40;

const uint32_t kPlacedInVolumes = 1;

const uint32_t kMinChunkSize = 1u << 16;
const uint32_t kMaxChunkSize = 1u << 24;
// What mkupdate writes: one chunk is what the updater holds of an entry at a time.
const uint32_t kDefaultChunkSize = 1u << 20;
const uint32_t kChunkCompressed = 0x80000000u;
const uint32_t kChunkStoredSizeMask = 0x7FFFFFFFu;

const uint32_t kVolumeRecordSize = 304;
const uint32_t kVolumeNameOffset = 0;
const uint32_t kVolumeSizeOffset = 264;
const uint32_t kVolumeDigestOffset = 272;
const uint32_t kMaxVolumes = 999;

// Sections 6 and 7 begin with a count and a reserved word before their records.
const uint32_t kLargeSectionHeaderSize = 8;

static_assert(kPlacedReservedOffset + 8 == kPlacedEntrySize, "placed entry layout");
static_assert(kVolumeDigestOffset + kSha256Size == kVolumeRecordSize, "volume record layout");

// One placed entry, read from its descriptor.
struct PlacedEntry {
    uint32_t position;
    uint32_t flags;
    uint64_t offset;
    uint64_t storedSize;
    uint64_t decodedSize;
    uint32_t chunkSize;
    uint32_t chunkCount;
};

// One volume; the pointers lead into the record's bytes.
struct PayloadVolume {
    const char* name;
    uint64_t size;
    const uint8_t* digest;
};

void ReadPlacedEntry(const uint8_t* descriptors, uint32_t i, PlacedEntry* out);
void WritePlacedEntry(const PlacedEntry& entry, uint8_t out[kPlacedEntrySize]);
void ReadPayloadVolume(const uint8_t* records, uint32_t i, PayloadVolume* out);
// name must be shorter than kEntryNameSize bytes.
void WritePayloadVolume(const PayloadVolume& volume, uint8_t out[kVolumeRecordSize]);

// 1 when name is a plain file name a volume may have: not empty, NUL within kEntryNameSize
// bytes, no folder or drive (no '\\', '/', ':'), no control byte or one of <>"|?*, not "." or
// "..", no trailing dot or blank, and no lone lead byte of a double-byte character at the end.
int VolumeNameValid(const char* name);

// The chunk count a decoded size takes at a chunk size (a valid one).
uint32_t ChunkCountFor(uint64_t decodedSize, uint32_t chunkSize);
// The decoded size of chunk i of an entry.
uint32_t ChunkDecodedSize(const PlacedEntry& entry, uint32_t i);
// The room the chunk table takes: 4 bytes per chunk.
inline uint64_t ChunkTableSize(uint32_t chunkCount) {
    return (uint64_t)chunkCount * 4;
}

// Checks sections 6 and 7 against the decoded index they came with and against each other:
// positions rising and naming entries before the integrity record; flags, chunk size and count
// as above; stored size at least the chunk table; an entry in the image with the index's
// storedSize and offset 0, one in the volumes with storedSize 0 in the index and within the
// volume stream; the index record says compressed with decodedSize 0; volume names valid and
// no two alike (compared case-insensitively in ASCII); volumes present exactly when some entry
// lies in them. volumes may be null with volumeCount 0. 1 when all hold.
int LargeSectionsValid(const uint8_t* placed, uint32_t placedCount, const uint8_t* volumes,
                       uint32_t volumeCount, const uint8_t* index);

// The placed entry at an index position, found by a binary search over the rising positions;
// 1 and *out when there is one.
int FindPlacedEntry(const uint8_t* placed, uint32_t placedCount, uint32_t position,
                    PlacedEntry* out);

// Reads n stored bytes of the entry beginning offset bytes into its stored bytes; 1 when all
// were read. A reader of the image copies from memory; one of the volumes reads files.
typedef int (*StoredReadFn)(void* context, uint64_t offset, uint8_t* to, uint32_t n);
typedef void* (*ChunkAllocFn)(size_t size);
typedef void (*ChunkFreeFn)(void* block);

enum ChunkReadResult {
    kChunkRead = 0,
    kChunkNoMemory = 1,
    kChunkDamaged = 2,   // a chunk table or a chunk that does not decode to what it must
    kChunkReadFailed = 3 // the stored bytes could not be read
};

// A placed entry's decoded bytes, read forward: the chunk table is read once, then one chunk
// at a time is read, unscrambled and decoded, so that it holds at most the table and two chunk
// buffers. Nothing here checks a digest: the caller hashes what it is given.
struct ChunkedReader {
    PlacedEntry entry;
    bool scrambled;
    StoredReadFn read;
    void* context;
    ChunkAllocFn alloc;
    ChunkFreeFn free;
    uint8_t* table;   // chunk count words, as stored
    uint8_t* stored;  // one chunk's stored bytes
    uint8_t* decoded; // one chunk's decoded bytes
    uint32_t chunk;   // the chunk in decoded, or chunkCount when none is
    uint64_t nextStored;
    uint32_t decodedAt; // bytes of decoded already handed out
    uint64_t at;        // decoded bytes handed out in all
};

ChunkReadResult OpenChunkedReader(const PlacedEntry& entry, bool scrambled, StoredReadFn read,
                                  void* context, ChunkAllocFn alloc, ChunkFreeFn free,
                                  ChunkedReader* r);
// The next n decoded bytes (at most what is left) into to.
ChunkReadResult ReadChunked(ChunkedReader* r, uint8_t* to, uint32_t n);
void CloseChunkedReader(ChunkedReader* r);
