#include "archive/payload_deltas.h"

#include <string.h>

#include "archive/archive_index.h"

namespace {

const char kDeltaEntryPrefix[] = "<QV2|DELTA|";
const size_t kDeltaEntryPrefixLength = sizeof kDeltaEntryPrefix - 1;

} // namespace

void DeltaEntryName(uint32_t n, char out[kDeltaEntryNameCapacity]) {
    char digits[11];
    int count = 0;
    do {
        digits[count++] = (char)('0' + n % 10);
        n /= 10;
    } while (n);
    memcpy(out, kDeltaEntryPrefix, kDeltaEntryPrefixLength);
    char* at = out + kDeltaEntryPrefixLength;
    while (count)
        *at++ = digits[--count];
    *at++ = '>';
    *at = '\0';
}

int IsDeltaEntryName(const char* name) {
    return strncmp(name, kDeltaEntryPrefix, kDeltaEntryPrefixLength) == 0;
}

void ReadDeltaDescriptor(const uint8_t* descriptors, uint32_t i, PayloadDelta* out) {
    const uint8_t* d = descriptors + (size_t)i * kDeltaDescriptorSize;
    out->entryPosition = LoadLE32(d);
    out->target = (const char*)d + kDeltaTargetOffset;
    out->time = LoadLE64(d + kDeltaTimeOffset);
    out->baseSize = LoadLE64(d + kDeltaBaseSizeOffset);
    out->baseDigest = d + kDeltaBaseDigestOffset;
    out->resultSize = LoadLE64(d + kDeltaResultSizeOffset);
    out->resultDigest = d + kDeltaResultDigestOffset;
}

void WriteDeltaDescriptor(const PayloadDelta& delta, uint8_t out[kDeltaDescriptorSize]) {
    memset(out, 0, kDeltaDescriptorSize);
    StoreLE32(out, delta.entryPosition);
    const size_t length = strnlen(delta.target, kEntryNameSize - 1);
    memcpy(out + kDeltaTargetOffset, delta.target, length);
    StoreLE64(out + kDeltaTimeOffset, delta.time);
    StoreLE64(out + kDeltaBaseSizeOffset, delta.baseSize);
    memcpy(out + kDeltaBaseDigestOffset, delta.baseDigest, kSha256Size);
    StoreLE64(out + kDeltaResultSizeOffset, delta.resultSize);
    memcpy(out + kDeltaResultDigestOffset, delta.resultDigest, kSha256Size);
}

int DeltaDescriptorsValid(const uint8_t* descriptors, uint32_t count, const uint8_t* index,
                          bool large) {
    const uint32_t entries = IndexEntryCount(index);
    const uint8_t* records = IndexRecords(index);
    for (uint32_t i = 0; i < count; ++i) {
        PayloadDelta d;
        ReadDeltaDescriptor(descriptors, i, &d);
        // The last entry is the integrity record itself.
        if (entries == 0 || d.entryPosition >= entries - 1)
            return 0;
        // In increasing order, which also keeps two descriptors off one entry.
        if (i > 0 &&
            d.entryPosition <= LoadLE32(descriptors + (size_t)(i - 1) * kDeltaDescriptorSize))
            return 0;
        const uint8_t* rec = records + (size_t)d.entryPosition * kArchiveEntrySize;
        if (!IsDeltaEntryName(EntryName(rec)))
            return 0;
        if (memchr(d.target, '\0', kEntryNameSize) == nullptr || d.target[0] == '\0' ||
            d.target[0] == '<')
            return 0;
        if (!large && d.resultSize > UINT32_MAX)
            return 0;
    }
    return 1;
}
