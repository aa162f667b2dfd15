// The payload's deltas: entries that rebuild a file from the copy an older release installed,
// so that a patch carries only what changed. What each delta stands for travels in the
// integrity record (archive/payload_integrity.h) as section 5; the delta's own bytes are an
// ordinary entry under a name no file name can take, so that a reader without deltas never
// finds one by a file's name.
//
// Section 5, deltas: 4 bytes count, then count descriptors of kDeltaDescriptorSize bytes each,
// all integers little-endian:
//
//     0    4  position in the index of the entry holding the delta (named by DeltaEntryName)
//     4  260  target: the entry name the result stands for, CP932, NUL-terminated, as an update
//             item names its entry
//   264    8  the result's time stamp (FILETIME), taken as the entry's time would be
//   272    8  base size
//   280   32  SHA-256 of the base
//   312    8  result size (at most 4 GiB - 1, like an entry's, unless the payload is large)
//   320   32  SHA-256 of the result
//
// A payload with deltas requires PAYLOAD_FEATURE_DELTAS, so that a reader that cannot apply
// them refuses the payload before it writes anything. One target may have several deltas (one
// per base) and, besides them, a whole entry of the same name for installations that match no
// base.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "archive/archive_format.h"
#include "archive/sha256.h"

const uint32_t kDeltaDescriptorSize = 352;
const uint32_t kDeltaTargetOffset = 4;
const uint32_t kDeltaTimeOffset = 264;
const uint32_t kDeltaBaseSizeOffset = 272;
const uint32_t kDeltaBaseDigestOffset = 280;
const uint32_t kDeltaResultSizeOffset = 312;
const uint32_t kDeltaResultDigestOffset = 320;

static_assert(kDeltaResultDigestOffset + kSha256Size == kDeltaDescriptorSize, "descriptor layout");
static_assert(kDeltaTimeOffset - kDeltaTargetOffset == kEntryNameSize, "target field");

// One delta, read from a descriptor; the pointers lead into the record's bytes.
struct PayloadDelta {
    uint32_t entryPosition;
    const char* target;
    uint64_t time;
    uint64_t baseSize;
    const uint8_t* baseDigest;
    uint64_t resultSize;
    const uint8_t* resultDigest;
};

// The name of the entry holding delta number n: "<QV2|DELTA|n>" with n in decimal.
const size_t kDeltaEntryNameCapacity = 32;
void DeltaEntryName(uint32_t n, char out[kDeltaEntryNameCapacity]);

// 1 when name has the form of a delta entry's name (the reserved prefix).
int IsDeltaEntryName(const char* name);

// Reads descriptor i of a section body's descriptors (the bytes after the count).
void ReadDeltaDescriptor(const uint8_t* descriptors, uint32_t i, PayloadDelta* out);

// Writes one descriptor; target must be shorter than kEntryNameSize bytes.
void WriteDeltaDescriptor(const PayloadDelta& delta, uint8_t out[kDeltaDescriptorSize]);

// Checks every descriptor of a section against the decoded index it came with: the position
// names an entry before the integrity record that is a delta entry, the positions rising from
// one descriptor to the next; the target is a NUL-terminated name that is no reserved name; the
// result fits an entry's size (any 64-bit size in a large payload). 1 when all hold.
int DeltaDescriptorsValid(const uint8_t* descriptors, uint32_t count, const uint8_t* index,
                          bool large = false);
