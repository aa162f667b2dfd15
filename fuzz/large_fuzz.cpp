// Must not crash: a placed-entry descriptor and a volume record from the input, checked against
// an index of one entry as the readers check them, and, when they pass, the entry's stored
// bytes (the rest of the input) decoded chunk by chunk to the end.
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "archive/archive_index.h"
#include "archive/payload_large.h"

static void* Alloc(size_t size) {
    return malloc(size ? size : 1);
}
static void Free(void* p) {
    free(p);
}

struct Stored {
    const uint8_t* bytes;
    uint64_t size;
};

static int ReadStored(void* context, uint64_t offset, uint8_t* to, uint32_t n) {
    const Stored* s = (const Stored*)context;
    if (offset > s->size || n > s->size - offset)
        return 0;
    memcpy(to, s->bytes + offset, n);
    return 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const size_t head = kPlacedEntrySize + kVolumeRecordSize + 1;
    if (size < head || size - head > UINT32_MAX)
        return 0;
    const uint8_t* placed = data;
    const uint8_t* volume = data + kPlacedEntrySize;
    const bool withVolume = (data[head - 1] & 1) != 0;
    const bool scrambled = (data[head - 1] & 2) != 0;
    const Stored stored = {data + head, size - head};

    // The index: the entry described, then the integrity record's entry.
    std::vector<uint8_t> index(kArchiveHeaderSize + 2 * kArchiveEntrySize, 0);
    StoreLE32(index.data() + kHeaderEntryCountOffset, 2);
    uint8_t* rec = index.data() + kArchiveHeaderSize;
    memcpy(rec, "DATA.PAK", 9);
    rec[kEntryStoreMethodOffset] = kStoreCompressed;
    StoreLE32(rec + kEntryStoredSizeOffset, withVolume ? 0 : (uint32_t)stored.size);

    if (!LargeSectionsValid(placed, 1, withVolume ? volume : nullptr, withVolume ? 1 : 0,
                            index.data()))
        return 0;
    PlacedEntry e;
    if (!FindPlacedEntry(placed, 1, 0, &e))
        abort();
    // Reading a volume stream by position is the caller's; here the stored bytes stand for it.
    if (e.decodedSize > (64u << 20))
        return 0;
    ChunkedReader r;
    if (OpenChunkedReader(e, scrambled, ReadStored, (void*)&stored, Alloc, Free, &r) != kChunkRead)
        return 0;
    std::vector<uint8_t> part(100003);
    while (r.at < e.decodedSize)
        if (ReadChunked(&r, part.data(), (uint32_t)part.size()) != kChunkRead)
            break;
    CloseChunkedReader(&r);
    return 0;
}
