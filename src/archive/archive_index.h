// Reading an archive image in place: its header, its index and the lookup of an entry by name.
// Nothing here trusts a number from the image before checking it against the image's size, so
// a damaged or hostile image is refused instead of read past its end.
//
// An archive index in memory is one block: the 16-byte header copied from the image, followed
// by the entry records, unscrambled and decompressed.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "archive/archive_format.h"

typedef void* (*AllocFixedFn)(size_t size);
typedef void (*FreeFixedFn)(void* block);
// Returns 0 when the two names are the same entry name.
typedef int (*NameCompareFn)(const char* a, const char* b);

// Decodes and checks the index of the image [data, data + size). Returns a new index block
// taken from alloc, or null when the image is damaged or memory runs out. Work memory is
// released before returning.
uint8_t* OpenArchiveImage(const uint8_t* data, uint32_t size, AllocFixedFn alloc, FreeFixedFn free);

inline uint32_t IndexEntryCount(const uint8_t* index) {
    return LoadLE32(index + kHeaderEntryCountOffset);
}
inline const uint8_t* IndexRecords(const uint8_t* index) {
    return index + kArchiveHeaderSize;
}

// The record of the first entry whose name matches, or null. *dataOffset receives where the
// entry's stored bytes begin in the image.
const uint8_t* LookupEntry(const uint8_t* index, const char* name, NameCompareFn same,
                           uint32_t* dataOffset);

// The record at position (in index order), or null past the last; *dataOffset receives where
// its stored bytes begin in the image.
const uint8_t* EntryAtPosition(const uint8_t* index, uint32_t position, uint32_t* dataOffset);

enum EntryDecodeResult { kEntryDecoded = 0, kEntryNoMemory = 1, kEntryDamaged = 2 };

// Turns an entry's stored bytes back into its file bytes: unscrambled in a copy (the image is
// read-only) when the record says scrambled, then decompressed when it says compressed.
// *bytes receives the decodedSize bytes; *block the block holding them, to be released with
// free, or null when *bytes points into the image. Nothing is left allocated on failure.
EntryDecodeResult DecodeEntry(const uint8_t* rec, const uint8_t* stored, AllocFixedFn alloc,
                              FreeFixedFn free, const uint8_t** bytes, uint8_t** block);
