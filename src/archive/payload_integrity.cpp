#include "archive/payload_integrity.h"

#include <string.h>

#include "archive/archive_format.h"
#include "archive/archive_index.h"
#include "archive/payload_deltas.h"

namespace {

inline uint16_t LoadLE16(const uint8_t* p) {
    return (uint16_t)(p[0] | (p[1] << 8));
}

inline void StoreLE16(uint8_t* p, uint16_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}

uint8_t* PutSection(uint8_t* at, uint16_t tag, uint32_t length) {
    StoreLE16(at, tag);
    StoreLE16(at + 2, 0);
    StoreLE32(at + 4, length);
    return at + kIntegritySectionHeaderSize;
}

} // namespace

IntegrityParseResult ParseIntegrityRecord(const uint8_t* data, uint32_t size,
                                          IntegrityRecord* out) {
    if (!data || size < kIntegrityHeaderSize + kSha256Size)
        return kIntegrityDamaged;
    if (LoadLE32(data) != kIntegrityMagic || LoadLE32(data + 16) != size)
        return kIntegrityDamaged;
    uint8_t digest[kSha256Size];
    const uint32_t body = size - (uint32_t)kSha256Size;
    Sha256(data, body, digest);
    if (memcmp(digest, data + body, kSha256Size) != 0)
        return kIntegrityDamaged;
    // From here on the bytes are as the writer made them; what follows refuses a writer's
    // mistake, or a version of the record this code does not know.
    const uint16_t version = LoadLE16(data + 4);
    const uint32_t headerSize = LoadLE16(data + 6);
    if (version != kIntegrityVersion)
        return kIntegrityUnsupported;
    if (headerSize < kIntegrityHeaderSize || headerSize > body)
        return kIntegrityDamaged;
    memset(out, 0, sizeof *out);
    out->requiredFeatures = LoadLE32(data + 8);
    const uint32_t sections = LoadLE32(data + 12);
    bool seen[6] = {false, false, false, false, false, false};
    uint32_t at = headerSize;
    for (uint32_t i = 0; i < sections; ++i) {
        if (body - at < kIntegritySectionHeaderSize)
            return kIntegrityDamaged;
        const uint16_t tag = LoadLE16(data + at);
        const uint32_t length = LoadLE32(data + at + 4);
        at += kIntegritySectionHeaderSize;
        if (length > body - at)
            return kIntegrityDamaged;
        const uint8_t* p = data + at;
        at += length;
        if (tag < 1 || tag > 5)
            continue;
        if (seen[tag])
            return kIntegrityDamaged;
        seen[tag] = true;
        switch (tag) {
        case kTagAlgorithm:
            if (length != 4)
                return kIntegrityDamaged;
            out->algorithm = LoadLE32(p);
            break;
        case kTagIndexDigest:
            if (length != kSha256Size)
                return kIntegrityDamaged;
            out->indexDigest = p;
            break;
        case kTagEntryDigests:
            if (length < 4 || (length - 4) / kSha256Size != LoadLE32(p) ||
                (length - 4) % kSha256Size != 0)
                return kIntegrityDamaged;
            out->entryCount = LoadLE32(p);
            out->entryDigests = p + 4;
            break;
        case kTagImageDigest:
            if (length != kSha256Size)
                return kIntegrityDamaged;
            out->imageDigest = p;
            break;
        case kTagDeltas:
            if (length < 4 || (length - 4) % kDeltaDescriptorSize != 0 ||
                (length - 4) / kDeltaDescriptorSize != LoadLE32(p) || LoadLE32(p) == 0)
                return kIntegrityDamaged;
            out->deltaCount = LoadLE32(p);
            out->deltas = p + 4;
            break;
        }
    }
    if (at != body || !seen[kTagAlgorithm] || !seen[kTagIndexDigest] || !seen[kTagEntryDigests])
        return kIntegrityDamaged;
    if (out->algorithm != kHashSha256)
        return kIntegrityUnsupported;
    // Deltas and their feature bit come together: without the bit, a reader that cannot apply
    // them would take the payload.
    if (seen[kTagDeltas] != ((out->requiredFeatures & PAYLOAD_FEATURE_DELTAS) != 0))
        return kIntegrityDamaged;
    return kIntegrityParsed;
}

uint32_t IntegrityRecordSize(uint32_t entryCount, bool imageDigest, uint32_t deltaCount) {
    uint32_t size = kIntegrityHeaderSize;
    size += kIntegritySectionHeaderSize + 4;
    size += kIntegritySectionHeaderSize + (uint32_t)kSha256Size;
    size += kIntegritySectionHeaderSize + 4 + entryCount * (uint32_t)kSha256Size;
    if (imageDigest)
        size += kIntegritySectionHeaderSize + (uint32_t)kSha256Size;
    if (deltaCount)
        size += kIntegritySectionHeaderSize + 4 + deltaCount * kDeltaDescriptorSize;
    return size + (uint32_t)kSha256Size;
}

void WriteIntegrityRecord(uint32_t requiredFeatures, const uint8_t* indexDigest,
                          const uint8_t* imageDigest, uint32_t entryCount,
                          const uint8_t* entryDigests, uint8_t* out, uint32_t deltaCount,
                          const uint8_t* deltas) {
    const uint32_t size = IntegrityRecordSize(entryCount, imageDigest != nullptr, deltaCount);
    if (deltaCount)
        requiredFeatures |= PAYLOAD_FEATURE_DELTAS;
    memset(out, 0, size);
    StoreLE32(out, kIntegrityMagic);
    StoreLE16(out + 4, kIntegrityVersion);
    StoreLE16(out + 6, (uint16_t)kIntegrityHeaderSize);
    StoreLE32(out + 8, requiredFeatures);
    StoreLE32(out + 12, 3 + (imageDigest ? 1 : 0) + (deltaCount ? 1 : 0));
    StoreLE32(out + 16, size);
    uint8_t* at = out + kIntegrityHeaderSize;
    at = PutSection(at, kTagAlgorithm, 4);
    StoreLE32(at, kHashSha256);
    at += 4;
    at = PutSection(at, kTagIndexDigest, (uint32_t)kSha256Size);
    memcpy(at, indexDigest, kSha256Size);
    at += kSha256Size;
    at = PutSection(at, kTagEntryDigests, 4 + entryCount * (uint32_t)kSha256Size);
    StoreLE32(at, entryCount);
    if (entryCount)
        memcpy(at + 4, entryDigests, (size_t)entryCount * kSha256Size);
    at += 4 + (size_t)entryCount * kSha256Size;
    if (imageDigest) {
        at = PutSection(at, kTagImageDigest, (uint32_t)kSha256Size);
        memcpy(at, imageDigest, kSha256Size);
        at += kSha256Size;
    }
    if (deltaCount) {
        at = PutSection(at, kTagDeltas, 4 + deltaCount * kDeltaDescriptorSize);
        StoreLE32(at, deltaCount);
        memcpy(at + 4, deltas, (size_t)deltaCount * kDeltaDescriptorSize);
        at += 4 + (size_t)deltaCount * kDeltaDescriptorSize;
    }
    Sha256(out, (size_t)(at - out), at);
}

int IsIntegrityEntry(const uint8_t* rec) {
    return strcmp(EntryName(rec), kIntegrityEntryName) == 0;
}

const uint8_t* FindIntegrityEntry(const uint8_t* index, const uint8_t* image,
                                  uint32_t* dataOffset) {
    const uint32_t count = IndexEntryCount(index);
    if (count == 0)
        return nullptr;
    const uint8_t* rec = IndexRecords(index);
    uint64_t offset = kArchiveHeaderSize;
    for (uint32_t i = 0; i + 1 < count; ++i, rec += kArchiveEntrySize)
        offset += PaddedSize(EntryStoredSize(rec));
    const uint8_t* stored = image + offset;
    const uint32_t storedSize = EntryStoredSize(rec);
    const bool looksLikeRecord = storedSize >= kIntegrityHeaderSize &&
                                 LoadLE32(stored) == kIntegrityMagic &&
                                 LoadLE32(stored + 16) == storedSize;
    if (!IsIntegrityEntry(rec) && !looksLikeRecord)
        return nullptr;
    if (dataOffset)
        *dataOffset = (uint32_t)offset;
    return rec;
}

void IndexDigest(const uint8_t* index, uint8_t out[kSha256Size]) {
    Sha256(index, kArchiveHeaderSize + (size_t)IndexEntryCount(index) * kArchiveEntrySize, out);
}

void ImageDigest(const uint8_t* image, uint32_t size, uint32_t skipOffset, uint32_t skipSize,
                 uint8_t out[kSha256Size]) {
    Sha256Context c;
    Sha256Init(&c);
    const uint64_t skipEnd = (uint64_t)skipOffset + skipSize;
    Sha256Update(&c, image, skipOffset < size ? skipOffset : size);
    if (skipEnd < size)
        Sha256Update(&c, image + skipEnd, (size_t)(size - skipEnd));
    Sha256Final(&c, out);
}

IntegrityCheckResult CheckIndexIntegrity(const uint8_t* index, const uint8_t* record, uint32_t size,
                                         IntegrityRecord* out, uint32_t knownFeatures) {
    const IntegrityParseResult parsed = ParseIntegrityRecord(record, size, out);
    if (parsed == kIntegrityUnsupported)
        return kIntegrityUnknownFeature;
    if (parsed != kIntegrityParsed)
        return kIntegrityRecordDamaged;
    if (out->requiredFeatures & ~knownFeatures)
        return kIntegrityUnknownFeature;
    uint8_t digest[kSha256Size];
    IndexDigest(index, digest);
    if (memcmp(digest, out->indexDigest, kSha256Size) != 0)
        return kIntegrityIndexDamaged;
    // Checked after the index digest: with a whole index, a count that differs is the writer's.
    if (out->entryCount != IndexEntryCount(index) - 1)
        return kIntegrityRecordDamaged;
    if (!DeltaDescriptorsValid(out->deltas, out->deltaCount, index))
        return kIntegrityRecordDamaged;
    return kIntegrityIntact;
}

int EntryDigestMatches(const IntegrityRecord& record, uint32_t position, const uint8_t* decoded,
                       uint32_t size) {
    if (position >= record.entryCount)
        return 0;
    uint8_t digest[kSha256Size];
    Sha256(decoded, size, digest);
    return memcmp(digest, record.entryDigests + (size_t)position * kSha256Size, kSha256Size) == 0;
}
