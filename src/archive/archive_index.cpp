#include "archive/archive_index.h"

#include <string.h>

#include "archive/decompress.h"
#include "archive/scramble.h"

namespace {

// Where the index lies in the image and how big it is once decoded.
struct IndexLayout {
    uint32_t flags;
    uint32_t indexOffset;
    uint32_t recordBytes; // entryCount records
    uint32_t streamBytes; // bytes of the image the index occupies
};

int ReadLayout(const uint8_t* data, uint32_t size, IndexLayout* layout) {
    if (size < kArchiveHeaderSize)
        return 0;
    const uint32_t flags = LoadLE32(data + kHeaderFlagsOffset);
    const uint32_t indexOffset = LoadLE32(data + kHeaderIndexOffsetOffset);
    const uint64_t recordBytes =
        (uint64_t)LoadLE32(data + kHeaderEntryCountOffset) * kArchiveEntrySize;
    if (indexOffset < kArchiveHeaderSize || indexOffset > size)
        return 0;
    // The index block (header plus records) must be addressable with a 32-bit size.
    if (recordBytes > UINT32_MAX - kArchiveHeaderSize)
        return 0;
    const uint32_t tail = size - indexOffset;
    if (flags & kIndexCompressed) {
        // A stream cannot expand beyond this bound; refusing earlier saves a useless allocation.
        if (recordBytes > MaxDecodedSize(tail))
            return 0;
        layout->streamBytes = tail;
    } else {
        if (recordBytes > tail)
            return 0;
        layout->streamBytes = (uint32_t)recordBytes;
    }
    layout->flags = flags;
    layout->indexOffset = indexOffset;
    layout->recordBytes = (uint32_t)recordBytes;
    return 1;
}

int DecodeRecords(const uint8_t* data, const IndexLayout& layout, uint8_t* records,
                  AllocFixedFn alloc, FreeFixedFn free) {
    const uint8_t* stream = data + layout.indexOffset;
    if (!(layout.flags & kIndexCompressed)) {
        memcpy(records, stream, layout.recordBytes);
        if (layout.flags & kIndexScrambled)
            Scramble(records, layout.recordBytes);
        return 1;
    }
    // The image is read-only: a scrambled stream is unscrambled in a copy.
    const uint8_t* source = stream;
    uint8_t* work = nullptr;
    if (layout.flags & kIndexScrambled) {
        work = (uint8_t*)alloc(layout.streamBytes ? layout.streamBytes : 1);
        if (!work)
            return 0;
        memcpy(work, stream, layout.streamBytes);
        Scramble(work, layout.streamBytes);
        source = work;
    }
    const int ok = Decompress(records, layout.recordBytes, source, layout.streamBytes);
    if (work)
        free(work);
    return ok;
}

// Every record must describe bytes that lie inside the data area, with a terminated name and
// sizes that agree with its method, so that later lookups and extractions can trust it.
int CheckRecords(const uint8_t* records, uint32_t count, uint32_t indexOffset) {
    uint64_t offset = kArchiveHeaderSize;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* rec = records + (size_t)i * kArchiveEntrySize;
        if (!memchr(rec + kEntryNameOffset, 0, kEntryNameSize))
            return 0;
        const uint32_t stored = EntryStoredSize(rec);
        const uint32_t decoded = EntryDecodedSize(rec);
        if (offset + stored > indexOffset)
            return 0;
        if (EntryIsCompressed(rec)) {
            if (decoded > MaxDecodedSize(stored))
                return 0;
        } else if (decoded != stored) {
            return 0;
        }
        offset += PaddedSize(stored);
    }
    return 1;
}

} // namespace

uint8_t* OpenArchiveImage(const uint8_t* data, uint32_t size, AllocFixedFn alloc,
                          FreeFixedFn free) {
    IndexLayout layout;
    if (!data || !ReadLayout(data, size, &layout))
        return nullptr;
    uint8_t* index = (uint8_t*)alloc(kArchiveHeaderSize + layout.recordBytes);
    if (!index)
        return nullptr;
    uint8_t* records = index + kArchiveHeaderSize;
    if (!DecodeRecords(data, layout, records, alloc, free) ||
        !CheckRecords(records, layout.recordBytes / kArchiveEntrySize, layout.indexOffset)) {
        free(index);
        return nullptr;
    }
    memcpy(index, data, kArchiveHeaderSize);
    return index;
}

const uint8_t* LookupEntry(const uint8_t* index, const char* name, NameCompareFn same,
                           uint32_t* dataOffset) {
    const uint32_t count = IndexEntryCount(index);
    const uint8_t* rec = IndexRecords(index);
    uint64_t offset = kArchiveHeaderSize;
    for (uint32_t i = 0; i < count; ++i, rec += kArchiveEntrySize) {
        if (same(EntryName(rec), name) == 0) {
            if (dataOffset)
                *dataOffset = (uint32_t)offset;
            return rec;
        }
        offset += PaddedSize(EntryStoredSize(rec));
    }
    return nullptr;
}

const uint8_t* EntryAtPosition(const uint8_t* index, uint32_t position, uint32_t* dataOffset) {
    if (position >= IndexEntryCount(index))
        return nullptr;
    const uint8_t* rec = IndexRecords(index);
    uint64_t offset = kArchiveHeaderSize;
    for (uint32_t i = 0; i < position; ++i, rec += kArchiveEntrySize)
        offset += PaddedSize(EntryStoredSize(rec));
    if (dataOffset)
        *dataOffset = (uint32_t)offset;
    return rec;
}

EntryDecodeResult DecodeEntry(const uint8_t* rec, const uint8_t* stored, AllocFixedFn alloc,
                              FreeFixedFn free, const uint8_t** bytes, uint8_t** block) {
    const uint32_t storedSize = EntryStoredSize(rec);
    const uint32_t decodedSize = EntryDecodedSize(rec);
    const uint8_t* current = stored;
    uint8_t* unscrambled = nullptr;
    if (EntryIsScrambled(rec)) {
        unscrambled = (uint8_t*)alloc(storedSize);
        if (!unscrambled)
            return kEntryNoMemory;
        memcpy(unscrambled, stored, storedSize);
        Scramble(unscrambled, storedSize);
        current = unscrambled;
    }
    if (EntryIsCompressed(rec)) {
        uint8_t* decoded = (uint8_t*)alloc(decodedSize);
        if (!decoded) {
            if (unscrambled)
                free(unscrambled);
            return kEntryNoMemory;
        }
        const int ok = Decompress(decoded, decodedSize, current, storedSize);
        if (unscrambled)
            free(unscrambled);
        if (!ok) {
            free(decoded);
            return kEntryDamaged;
        }
        *bytes = decoded;
        *block = decoded;
        return kEntryDecoded;
    }
    *bytes = current;
    *block = unscrambled;
    return kEntryDecoded;
}
