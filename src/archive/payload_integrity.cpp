#include "archive/payload_integrity.h"

#include <string.h>

#include "archive/archive_format.h"
#include "archive/archive_index.h"
#include "archive/payload_deltas.h"
#include "archive/payload_large.h"

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

uint8_t* PutLargeSection(uint8_t* at, uint16_t tag, const uint8_t* records, uint32_t count,
                         uint32_t recordSize) {
    at = PutSection(at, tag, kLargeSectionHeaderSize + count * recordSize);
    StoreLE32(at, count);
    StoreLE32(at + 4, 0);
    memcpy(at + kLargeSectionHeaderSize, records, (size_t)count * recordSize);
    return at + kLargeSectionHeaderSize + (size_t)count * recordSize;
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
    bool seen[kTagDeltaSamples + 1] = {};
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
        if (tag < kTagAlgorithm || tag > kTagDeltaSamples)
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
        case kTagPlacedEntries:
        case kTagVolumes: {
            const uint32_t recordSize =
                tag == kTagPlacedEntries ? kPlacedEntrySize : kVolumeRecordSize;
            if (length < kLargeSectionHeaderSize ||
                (length - kLargeSectionHeaderSize) % recordSize != 0 ||
                (length - kLargeSectionHeaderSize) / recordSize != LoadLE32(p) ||
                LoadLE32(p) == 0 || LoadLE32(p + 4) != 0)
                return kIntegrityDamaged;
            if (tag == kTagPlacedEntries) {
                out->placedCount = LoadLE32(p);
                out->placed = p + kLargeSectionHeaderSize;
            } else {
                out->volumeCount = LoadLE32(p);
                out->volumes = p + kLargeSectionHeaderSize;
            }
            break;
        }
        case kTagDeltaSamples:
            if (length < 4 || (length - 4) % kDeltaSampleSize != 0 ||
                (length - 4) / kDeltaSampleSize != LoadLE32(p))
                return kIntegrityDamaged;
            out->deltaSamples = p + 4;
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
    // Samples stand beside the descriptors, one pair each.
    if (seen[kTagDeltaSamples] &&
        (!seen[kTagDeltas] || LoadLE32(out->deltaSamples - 4) != out->deltaCount))
        return kIntegrityDamaged;
    // The same for placed entries; volumes hold nothing but their bytes.
    if (seen[kTagPlacedEntries] != ((out->requiredFeatures & PAYLOAD_FEATURE_LARGE) != 0) ||
        (seen[kTagVolumes] && !seen[kTagPlacedEntries]))
        return kIntegrityDamaged;
    return kIntegrityParsed;
}

uint32_t IntegrityRecordSize(uint32_t entryCount, bool imageDigest, uint32_t deltaCount,
                             const LargeSections* large, bool deltaSamples) {
    uint32_t size = kIntegrityHeaderSize;
    size += kIntegritySectionHeaderSize + 4;
    size += kIntegritySectionHeaderSize + (uint32_t)kSha256Size;
    size += kIntegritySectionHeaderSize + 4 + entryCount * (uint32_t)kSha256Size;
    if (imageDigest)
        size += kIntegritySectionHeaderSize + (uint32_t)kSha256Size;
    if (deltaCount)
        size += kIntegritySectionHeaderSize + 4 + deltaCount * kDeltaDescriptorSize;
    if (deltaCount && deltaSamples)
        size += kIntegritySectionHeaderSize + 4 + deltaCount * kDeltaSampleSize;
    if (large && large->placedCount)
        size += kIntegritySectionHeaderSize + kLargeSectionHeaderSize +
                large->placedCount * kPlacedEntrySize;
    if (large && large->volumeCount)
        size += kIntegritySectionHeaderSize + kLargeSectionHeaderSize +
                large->volumeCount * kVolumeRecordSize;
    return size + (uint32_t)kSha256Size;
}

void WriteIntegrityRecord(uint32_t requiredFeatures, const uint8_t* indexDigest,
                          const uint8_t* imageDigest, uint32_t entryCount,
                          const uint8_t* entryDigests, uint8_t* out, uint32_t deltaCount,
                          const uint8_t* deltas, const LargeSections* large,
                          const uint8_t* deltaSamples) {
    if (!deltaCount)
        deltaSamples = nullptr;
    const uint32_t size = IntegrityRecordSize(entryCount, imageDigest != nullptr, deltaCount, large,
                                              deltaSamples != nullptr);
    const uint32_t placedCount = large ? large->placedCount : 0;
    const uint32_t volumeCount = large ? large->volumeCount : 0;
    if (deltaCount)
        requiredFeatures |= PAYLOAD_FEATURE_DELTAS;
    if (placedCount)
        requiredFeatures |= PAYLOAD_FEATURE_LARGE;
    memset(out, 0, size);
    StoreLE32(out, kIntegrityMagic);
    StoreLE16(out + 4, kIntegrityVersion);
    StoreLE16(out + 6, (uint16_t)kIntegrityHeaderSize);
    StoreLE32(out + 8, requiredFeatures);
    StoreLE32(out + 12, 3 + (imageDigest ? 1 : 0) + (deltaCount ? 1 : 0) + (placedCount ? 1 : 0) +
                            (volumeCount ? 1 : 0) + (deltaSamples ? 1 : 0));
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
    if (placedCount)
        at = PutLargeSection(at, kTagPlacedEntries, large->placed, placedCount, kPlacedEntrySize);
    if (volumeCount)
        at = PutLargeSection(at, kTagVolumes, large->volumes, volumeCount, kVolumeRecordSize);
    if (deltaSamples) {
        at = PutSection(at, kTagDeltaSamples, 4 + deltaCount * kDeltaSampleSize);
        StoreLE32(at, deltaCount);
        memcpy(at + 4, deltaSamples, (size_t)deltaCount * kDeltaSampleSize);
        at += 4 + (size_t)deltaCount * kDeltaSampleSize;
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
    const bool large = (out->requiredFeatures & PAYLOAD_FEATURE_LARGE) != 0;
    if (!DeltaDescriptorsValid(out->deltas, out->deltaCount, index, large))
        return kIntegrityRecordDamaged;
    if (!LargeSectionsValid(out->placed, out->placedCount, out->volumes, out->volumeCount, index))
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
