#include "archive/payload_large.h"

#include <string.h>

#include "archive/archive_index.h"
#include "archive/decompress.h"
#include "archive/scramble.h"

namespace {

// A lead byte of a double-byte CP932 character.
bool IsLeadByte(uint8_t c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

char FoldAscii(char c) {
    return c >= 'a' && c <= 'z' ? (char)(c - 'a' + 'A') : c;
}

bool SameVolumeName(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b)
        if (FoldAscii(*a) != FoldAscii(*b))
            return false;
    return *a == *b;
}

bool ChunkSizeValid(uint32_t size) {
    return size >= kMinChunkSize && size <= kMaxChunkSize && (size & (size - 1)) == 0;
}

void FreeIfAny(ChunkFreeFn free, void* block) {
    if (block)
        free(block);
}

} // namespace

void ReadPlacedEntry(const uint8_t* descriptors, uint32_t i, PlacedEntry* out) {
    const uint8_t* d = descriptors + (size_t)i * kPlacedEntrySize;
    out->position = LoadLE32(d + kPlacedPositionOffset);
    out->flags = LoadLE32(d + kPlacedFlagsOffset);
    out->offset = LoadLE64(d + kPlacedOffsetOffset);
    out->storedSize = LoadLE64(d + kPlacedStoredSizeOffset);
    out->decodedSize = LoadLE64(d + kPlacedDecodedSizeOffset);
    out->chunkSize = LoadLE32(d + kPlacedChunkSizeOffset);
    out->chunkCount = LoadLE32(d + kPlacedChunkCountOffset);
}

void WritePlacedEntry(const PlacedEntry& entry, uint8_t out[kPlacedEntrySize]) {
    memset(out, 0, kPlacedEntrySize);
    StoreLE32(out + kPlacedPositionOffset, entry.position);
    StoreLE32(out + kPlacedFlagsOffset, entry.flags);
    StoreLE64(out + kPlacedOffsetOffset, entry.offset);
    StoreLE64(out + kPlacedStoredSizeOffset, entry.storedSize);
    StoreLE64(out + kPlacedDecodedSizeOffset, entry.decodedSize);
    StoreLE32(out + kPlacedChunkSizeOffset, entry.chunkSize);
    StoreLE32(out + kPlacedChunkCountOffset, entry.chunkCount);
}

void ReadPayloadVolume(const uint8_t* records, uint32_t i, PayloadVolume* out) {
    const uint8_t* v = records + (size_t)i * kVolumeRecordSize;
    out->name = (const char*)v + kVolumeNameOffset;
    out->size = LoadLE64(v + kVolumeSizeOffset);
    out->digest = v + kVolumeDigestOffset;
}

void WritePayloadVolume(const PayloadVolume& volume, uint8_t out[kVolumeRecordSize]) {
    memset(out, 0, kVolumeRecordSize);
    memcpy(out + kVolumeNameOffset, volume.name, strnlen(volume.name, kEntryNameSize - 1));
    StoreLE64(out + kVolumeSizeOffset, volume.size);
    memcpy(out + kVolumeDigestOffset, volume.digest, kSha256Size);
}

int VolumeNameValid(const char* name) {
    const size_t length = strnlen(name, kEntryNameSize);
    if (length == 0 || length == kEntryNameSize)
        return 0;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
        return 0;
    if (name[length - 1] == '.' || name[length - 1] == ' ')
        return 0;
    for (size_t i = 0; i < length; ++i) {
        const uint8_t c = (uint8_t)name[i];
        if (IsLeadByte(c)) {
            // The trail byte may be any byte but NUL; a lead byte alone at the end would join
            // whatever a caller appends.
            if (i + 1 >= length)
                return 0;
            ++i;
            continue;
        }
        if (c < 0x20 || c == 0x7F || strchr("\\/:<>\"|?*", c))
            return 0;
    }
    return 1;
}

uint32_t ChunkCountFor(uint64_t decodedSize, uint32_t chunkSize) {
    return (uint32_t)((decodedSize + chunkSize - 1) / chunkSize);
}

uint32_t ChunkDecodedSize(const PlacedEntry& entry, uint32_t i) {
    const uint64_t begin = (uint64_t)i * entry.chunkSize;
    const uint64_t left = entry.decodedSize - begin;
    return left < entry.chunkSize ? (uint32_t)left : entry.chunkSize;
}

int LargeSectionsValid(const uint8_t* placed, uint32_t placedCount, const uint8_t* volumes,
                       uint32_t volumeCount, const uint8_t* index) {
    const uint32_t entries = IndexEntryCount(index);
    const uint8_t* records = IndexRecords(index);
    if (volumeCount > kMaxVolumes)
        return 0;
    uint64_t streamSize = 0;
    for (uint32_t i = 0; i < volumeCount; ++i) {
        PayloadVolume v;
        ReadPayloadVolume(volumes, i, &v);
        if (!VolumeNameValid(v.name) || v.size == 0 || v.size > UINT64_MAX - streamSize)
            return 0;
        streamSize += v.size;
        for (uint32_t j = 0; j < i; ++j) {
            PayloadVolume w;
            ReadPayloadVolume(volumes, j, &w);
            if (SameVolumeName(v.name, w.name))
                return 0;
        }
    }
    bool anyInVolumes = false;
    for (uint32_t i = 0; i < placedCount; ++i) {
        PlacedEntry e;
        ReadPlacedEntry(placed, i, &e);
        // The last entry is the integrity record itself.
        if (entries == 0 || e.position >= entries - 1)
            return 0;
        if (i > 0 && e.position <= LoadLE32(placed + (size_t)(i - 1) * kPlacedEntrySize))
            return 0;
        if ((e.flags & ~kPlacedInVolumes) != 0 || !ChunkSizeValid(e.chunkSize) ||
            e.chunkCount != ChunkCountFor(e.decodedSize, e.chunkSize) ||
            e.storedSize < ChunkTableSize(e.chunkCount))
            return 0;
        // A decoded size whose chunk count would not fit 32 bits was refused just above unless
        // the count wrapped; rule that out too.
        if (e.decodedSize > (uint64_t)e.chunkCount * e.chunkSize)
            return 0;
        if (LoadLE64(placed + (size_t)i * kPlacedEntrySize + kPlacedReservedOffset) != 0)
            return 0;
        const uint8_t* rec = records + (size_t)e.position * kArchiveEntrySize;
        if (!EntryIsCompressed(rec) || EntryDecodedSize(rec) != 0)
            return 0;
        if (e.flags & kPlacedInVolumes) {
            anyInVolumes = true;
            if (EntryStoredSize(rec) != 0 || e.offset > streamSize ||
                e.storedSize > streamSize - e.offset)
                return 0;
        } else if (e.offset != 0 || e.storedSize != EntryStoredSize(rec)) {
            return 0;
        }
    }
    return anyInVolumes == (volumeCount > 0);
}

int FindPlacedEntry(const uint8_t* placed, uint32_t placedCount, uint32_t position,
                    PlacedEntry* out) {
    uint32_t low = 0, high = placedCount;
    while (low < high) {
        const uint32_t mid = low + (high - low) / 2;
        const uint32_t at = LoadLE32(placed + (size_t)mid * kPlacedEntrySize);
        if (at == position) {
            ReadPlacedEntry(placed, mid, out);
            return 1;
        }
        if (at < position)
            low = mid + 1;
        else
            high = mid;
    }
    return 0;
}

ChunkReadResult OpenChunkedReader(const PlacedEntry& entry, bool scrambled, StoredReadFn read,
                                  void* context, ChunkAllocFn alloc, ChunkFreeFn free,
                                  ChunkedReader* r) {
    memset(r, 0, sizeof *r);
    r->entry = entry;
    r->scrambled = scrambled;
    r->read = read;
    r->context = context;
    r->alloc = alloc;
    r->free = free;
    r->chunk = entry.chunkCount;
    if (entry.chunkCount == 0)
        return kChunkRead;
    const uint64_t tableSize = ChunkTableSize(entry.chunkCount);
    // Sizes were checked against the record; a table is at most 4 bytes per chunk of a 64-bit
    // file, still bounded by what the platform can allocate.
    if (tableSize > SIZE_MAX || tableSize > UINT32_MAX)
        return kChunkNoMemory;
    r->table = (uint8_t*)alloc((size_t)tableSize);
    r->stored = (uint8_t*)alloc(entry.chunkSize);
    r->decoded = (uint8_t*)alloc(entry.chunkSize);
    if (!r->table || !r->stored || !r->decoded) {
        CloseChunkedReader(r);
        return kChunkNoMemory;
    }
    if (!read(context, 0, r->table, (uint32_t)tableSize)) {
        CloseChunkedReader(r);
        return kChunkReadFailed;
    }
    // Every chunk's size is checked before any is read, so that the stored bytes are known to
    // be exactly the table and the chunks.
    uint64_t total = tableSize;
    for (uint32_t i = 0; i < entry.chunkCount; ++i) {
        const uint32_t word = LoadLE32(r->table + (size_t)i * 4);
        const uint32_t stored = word & kChunkStoredSizeMask;
        const uint32_t decoded = ChunkDecodedSize(entry, i);
        const bool compressed = (word & kChunkCompressed) != 0;
        // The writer keeps a chunk as is when compressing does not make it smaller, so no
        // compressed chunk outgrows the buffer of one chunk.
        if (compressed ? stored == 0 || stored > decoded : stored != decoded) {
            CloseChunkedReader(r);
            return kChunkDamaged;
        }
        total += stored;
    }
    if (total != entry.storedSize) {
        CloseChunkedReader(r);
        return kChunkDamaged;
    }
    r->nextStored = tableSize;
    return kChunkRead;
}

namespace {

ChunkReadResult LoadNextChunk(ChunkedReader* r) {
    const uint32_t next = r->chunk == r->entry.chunkCount ? 0 : r->chunk + 1;
    const uint32_t word = LoadLE32(r->table + (size_t)next * 4);
    const uint32_t stored = word & kChunkStoredSizeMask;
    const uint32_t decoded = ChunkDecodedSize(r->entry, next);
    // A compressed chunk is read into its own buffer; one stored as is goes straight where its
    // bytes are handed out from.
    uint8_t* to = (word & kChunkCompressed) ? r->stored : r->decoded;
    if (!r->read(r->context, r->nextStored, to, stored))
        return kChunkReadFailed;
    if (r->scrambled)
        Scramble(to, stored);
    if ((word & kChunkCompressed) && !Decompress(r->decoded, decoded, to, stored))
        return kChunkDamaged;
    r->nextStored += stored;
    r->chunk = next;
    r->decodedAt = 0;
    return kChunkRead;
}

} // namespace

ChunkReadResult ReadChunked(ChunkedReader* r, uint8_t* to, uint32_t n) {
    const uint64_t left = r->entry.decodedSize - r->at;
    if (n > left)
        n = (uint32_t)left;
    while (n) {
        const bool loaded = r->chunk != r->entry.chunkCount;
        if (!loaded || r->decodedAt == ChunkDecodedSize(r->entry, r->chunk)) {
            const ChunkReadResult result = LoadNextChunk(r);
            if (result != kChunkRead)
                return result;
        }
        const uint32_t have = ChunkDecodedSize(r->entry, r->chunk) - r->decodedAt;
        const uint32_t take = n < have ? n : have;
        memcpy(to, r->decoded + r->decodedAt, take);
        to += take;
        n -= take;
        r->decodedAt += take;
        r->at += take;
    }
    return kChunkRead;
}

void CloseChunkedReader(ChunkedReader* r) {
    if (r->free) {
        FreeIfAny(r->free, r->table);
        FreeIfAny(r->free, r->stored);
        FreeIfAny(r->free, r->decoded);
    }
    r->table = r->stored = r->decoded = nullptr;
}
