// The payload archive's on-disk layout, shared by the updater and the tools that write it.
// Fields are always read and written as little-endian integers at fixed offsets, never by
// copying a struct, so the layout is the same whatever the compiler does with padding.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Header: magic "QV2\0", flags, index offset, entry count.
const uint32_t kArchiveHeaderSize = 16;
const uint32_t kHeaderMagicOffset = 0;
const uint32_t kHeaderFlagsOffset = 4;
const uint32_t kHeaderIndexOffsetOffset = 8;
const uint32_t kHeaderEntryCountOffset = 12;

const uint32_t kIndexCompressed = 1;
const uint32_t kIndexScrambled = 2;

// One index record.
const uint32_t kEntryNameSize = 260;
const uint32_t kEntryNameOffset = 0;
const uint32_t kEntryStoreMethodOffset = 260;
const uint32_t kEntryScrambleMethodOffset = 262;
const uint32_t kEntryTimeOffset = 264;
const uint32_t kEntryDecodedSizeOffset = 272;
const uint32_t kEntryStoredSizeOffset = 276;
const uint32_t kArchiveEntrySize = 280;

const uint8_t kStoreRaw = 1;
const uint8_t kStoreCompressed = 2; // readers test this bit alone
const uint8_t kScrambleNone = 0;
const uint8_t kScrambled = 1; // only this exact value counts as scrambled

// Entries' bytes are padded to this alignment in the data area.
const uint32_t kEntryAlignment = 16;

static_assert(kEntryNameSize + 4 + 8 + 4 + 4 == kArchiveEntrySize, "entry record layout");
static_assert(kEntryStoredSizeOffset + 4 == kArchiveEntrySize, "stored size is the last field");
static_assert(kHeaderEntryCountOffset + 4 == kArchiveHeaderSize, "header layout");

inline uint32_t LoadLE32(const uint8_t* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

inline uint64_t LoadLE64(const uint8_t* p) {
    return (uint64_t)LoadLE32(p) | ((uint64_t)LoadLE32(p + 4) << 32);
}

inline void StoreLE32(uint8_t* p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}

inline void StoreLE64(uint8_t* p, uint64_t v) {
    StoreLE32(p, (uint32_t)v);
    StoreLE32(p + 4, (uint32_t)(v >> 32));
}

// Accessors on one 280-byte record.
inline const char* EntryName(const uint8_t* rec) {
    return (const char*)rec + kEntryNameOffset;
}
inline uint8_t EntryStoreMethod(const uint8_t* rec) {
    return rec[kEntryStoreMethodOffset];
}
inline uint8_t EntryScrambleMethod(const uint8_t* rec) {
    return rec[kEntryScrambleMethodOffset];
}
inline uint64_t EntryTime(const uint8_t* rec) {
    return LoadLE64(rec + kEntryTimeOffset);
}
inline uint32_t EntryDecodedSize(const uint8_t* rec) {
    return LoadLE32(rec + kEntryDecodedSizeOffset);
}
inline uint32_t EntryStoredSize(const uint8_t* rec) {
    return LoadLE32(rec + kEntryStoredSizeOffset);
}
inline bool EntryIsCompressed(const uint8_t* rec) {
    return (EntryStoreMethod(rec) & kStoreCompressed) != 0;
}
inline bool EntryIsScrambled(const uint8_t* rec) {
    return EntryScrambleMethod(rec) == kScrambled;
}

// Room an entry takes in the data area, padding included. 64-bit so that a stored size near
// 4 GiB cannot wrap.
inline uint64_t PaddedSize(uint32_t storedSize) {
    return ((uint64_t)storedSize + (kEntryAlignment - 1)) & ~(uint64_t)(kEntryAlignment - 1);
}
