// Must not crash: parse arbitrary bytes as an integrity record, and open arbitrary bytes as an
// archive and check it against its record as the updater and mkupdate verify do (mkupdate
// knowing deltas, so that their descriptors are checked and read too).
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "archive/archive_index.h"
#include "archive/payload_deltas.h"
#include "archive/payload_integrity.h"

static void* Alloc(size_t size) {
    return malloc(size ? size : 1);
}
static void Free(void* p) {
    free(p);
}

// Reads every byte the parser pointed at, so that a pointer past the input shows.
static void Touch(const IntegrityRecord& r) {
    volatile uint8_t sink = 0;
    for (size_t i = 0; i < kSha256Size; ++i)
        sink = sink ^ r.indexDigest[i] ^ (r.imageDigest ? r.imageDigest[i] : 0);
    for (size_t i = 0; i < (size_t)r.entryCount * kSha256Size; ++i)
        sink = sink ^ r.entryDigests[i];
    for (size_t i = 0; i < (size_t)r.deltaCount * kDeltaDescriptorSize; ++i)
        sink = sink ^ r.deltas[i];
}

// Reads every descriptor the way a reader of deltas does once the record is intact: each
// target up to its NUL, both digests.
static void TouchDeltas(const IntegrityRecord& r) {
    volatile size_t sink = 0;
    for (uint32_t i = 0; i < r.deltaCount; ++i) {
        PayloadDelta d;
        ReadDeltaDescriptor(r.deltas, i, &d);
        sink = sink + strlen(d.target) + d.baseDigest[kSha256Size - 1] +
               d.resultDigest[kSha256Size - 1];
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > UINT32_MAX)
        return 0;
    std::vector<uint8_t> bytes(data, data + size);
    IntegrityRecord r;
    if (ParseIntegrityRecord(bytes.data(), (uint32_t)bytes.size(), &r) == kIntegrityParsed)
        Touch(r);

    uint8_t* index = OpenArchiveImage(bytes.data(), (uint32_t)bytes.size(), Alloc, Free);
    if (!index)
        return 0;
    uint32_t offset = 0;
    const uint8_t* entry = FindIntegrityEntry(index, bytes.data(), &offset);
    const uint8_t* recordBytes;
    uint8_t* recordBlock = nullptr;
    if (entry && DecodeEntry(entry, bytes.data() + offset, Alloc, Free, &recordBytes,
                             &recordBlock) == kEntryDecoded) {
        IntegrityRecord withDeltas;
        if (CheckIndexIntegrity(index, recordBytes, EntryDecodedSize(entry), &withDeltas,
                                PAYLOAD_FEATURE_INTEGRITY | PAYLOAD_FEATURE_DELTAS) ==
            kIntegrityIntact) {
            Touch(withDeltas);
            TouchDeltas(withDeltas);
        }
        if (CheckIndexIntegrity(index, recordBytes, EntryDecodedSize(entry), &r) ==
            kIntegrityIntact) {
            Touch(r);
            uint64_t at = kArchiveHeaderSize;
            for (uint32_t i = 0; i < r.entryCount && i < 64; ++i) {
                const uint8_t* rec = IndexRecords(index) + (size_t)i * kArchiveEntrySize;
                const uint8_t* decoded;
                uint8_t* block;
                if (DecodeEntry(rec, bytes.data() + at, Alloc, Free, &decoded, &block) ==
                    kEntryDecoded) {
                    EntryDigestMatches(r, i, decoded, EntryDecodedSize(rec));
                    free(block);
                }
                at += PaddedSize(EntryStoredSize(rec));
            }
            uint8_t digest[kSha256Size];
            ImageDigest(bytes.data(), (uint32_t)bytes.size(), offset, EntryStoredSize(entry),
                        digest);
        }
        free(recordBlock);
    }
    free(index);
    return 0;
}
