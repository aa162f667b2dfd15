// The payload's integrity record: hashes of the index and of every entry's decoded bytes,
// carried as one more entry of the archive, so that a reader that knows nothing of it reads
// every other entry as before.
//
// The record is the last entry of the index, under a name no file name can take (Windows file
// names cannot hold '<', '>' or '|'), stored as is and not scrambled. Its bytes, all integers
// little-endian:
//
//   0   4  magic "QVIR"
//   4   2  version, 1
//   6   2  header size, 24 (sections begin there)
//   8   4  required features: bits a reader must know to use the payload at all
//  12   4  section count
//  16   4  record size, the final digest included (equals the entry's decodedSize)
//  20   4  reserved, 0
//  24      sections, one after another: tag (2), reserved 0 (2), length (4), `length` bytes.
//          A reader skips a section whose tag it does not know; what a reader must understand
//          is announced by a required feature, never by a tag alone.
//  end-32  SHA-256 of every byte of the record before it.
//
// Sections of version 1 (each at most once):
//   1 algorithm      4 bytes: the hash algorithm, 1 = SHA-256 (32-byte digests). Required.
//   2 index digest   the digest of the archive index as a reader holds it: the 16-byte header
//                    followed by the entryCount decoded records (the record's own included).
//                    Required.
//   3 entry digests  4 bytes count, then count digests: one per entry before the record, in
//                    index order, of its decoded bytes. Required; count is entryCount - 1.
//   4 image digest   the digest of the archive image with the record's own bytes left out
//                    (the bytes before them, then the bytes after them). Optional; lets a
//                    checker notice a changed bit that decodes to the same bytes.
//   5 deltas         what each delta entry rebuilds, from which base (archive/payload_deltas.h).
//                    Present exactly when the record requires PAYLOAD_FEATURE_DELTAS.
//   6 placed entries entries stored in chunks, of any 64-bit size, in the image or in volumes
//                    (archive/payload_large.h). Present exactly when the record requires
//                    PAYLOAD_FEATURE_LARGE.
//   7 volumes        the files beside UPDATE.exe that hold placed entries' bytes, each with its
//                    size and digest (archive/payload_large.h). Only with section 6.
//   8 delta samples  4 bytes count, equal to section 5's, then per delta descriptor, in its
//                    order, the sampled identity (archive/file_sample.h) of its base and that
//                    of its result, 32 bytes each. Optional, only with section 5: a reader
//                    without it hashes a base whole to know it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "archive/payload_features.h"
#include "archive/sha256.h"

// The record's entry name.
const char kIntegrityEntryName[] = "<QV2|INTEGRITY>";

const uint32_t kIntegrityMagic = 0x52495651; // "QVIR"
const uint16_t kIntegrityVersion = 1;
const uint32_t kIntegrityHeaderSize = 24;
const uint32_t kIntegritySectionHeaderSize = 8;
const uint32_t kHashSha256 = 1;

enum IntegrityTag {
    kTagAlgorithm = 1,
    kTagIndexDigest = 2,
    kTagEntryDigests = 3,
    kTagImageDigest = 4,
    kTagDeltas = 5,
    kTagPlacedEntries = 6,
    kTagVolumes = 7,
    kTagDeltaSamples = 8,
};

// The two sampled identities section 8 gives each delta.
const uint32_t kDeltaSampleSize = 2 * (uint32_t)kSha256Size;

// The features this code knows.
const uint32_t kKnownPayloadFeatures = UPDATER_PAYLOAD_FEATURES;

// A parsed record; its pointers lead into the bytes it was parsed from.
struct IntegrityRecord {
    uint32_t requiredFeatures;
    uint32_t algorithm;
    const uint8_t* indexDigest;
    const uint8_t* imageDigest;  // null when the record has none
    uint32_t entryCount;         // entries covered
    const uint8_t* entryDigests; // entryCount digests of kSha256Size bytes
    uint32_t deltaCount;
    const uint8_t* deltas; // deltaCount descriptors (archive/payload_deltas.h), or null
    // deltaCount pairs of sampled identities, base then result, or null when the record has none
    const uint8_t* deltaSamples;
    uint32_t placedCount;
    const uint8_t* placed; // placedCount descriptors (archive/payload_large.h), or null
    uint32_t volumeCount;
    const uint8_t* volumes; // volumeCount volume records (archive/payload_large.h), or null
};

// Sections 6 and 7 as a writer gives them: placedCount placed-entry descriptors and
// volumeCount volume records (archive/payload_large.h).
struct LargeSections {
    const uint8_t* placed;
    uint32_t placedCount;
    const uint8_t* volumes;
    uint32_t volumeCount;
};

enum IntegrityParseResult {
    kIntegrityParsed = 0,
    kIntegrityDamaged = 1,     // not a record of this form, or its own digest does not match
    kIntegrityUnsupported = 2, // a version or algorithm this code does not know
};

// Checks and parses the record in [data, data + size): every length against what is left.
// Unknown required features are not refused here: *out tells them and the caller decides.
IntegrityParseResult ParseIntegrityRecord(const uint8_t* data, uint32_t size, IntegrityRecord* out);

// The record's size for entryCount covered entries, with or without an image digest, with
// deltaCount delta descriptors (a deltas section only when there is at least one), the large
// sections (a section only for a count of at least one) and, with deltas, their samples.
uint32_t IntegrityRecordSize(uint32_t entryCount, bool imageDigest, uint32_t deltaCount = 0,
                             const LargeSections* large = nullptr, bool deltaSamples = false);

// Writes a record of IntegrityRecordSize(entryCount, imageDigest, deltaCount, large) bytes into
// out, its own digest included; entryDigests holds entryCount digests, imageDigest may be null,
// deltas holds deltaCount descriptors and deltaSamples, when given, their kDeltaSampleSize bytes
// each. With deltas, PAYLOAD_FEATURE_DELTAS is required as well; with placed entries,
// PAYLOAD_FEATURE_LARGE.
void WriteIntegrityRecord(uint32_t requiredFeatures, const uint8_t* indexDigest,
                          const uint8_t* imageDigest, uint32_t entryCount,
                          const uint8_t* entryDigests, uint8_t* out, uint32_t deltaCount = 0,
                          const uint8_t* deltas = nullptr, const LargeSections* large = nullptr,
                          const uint8_t* deltaSamples = nullptr);

// 1 when the record names the integrity entry (the exact reserved name).
int IsIntegrityEntry(const uint8_t* rec);

// The integrity entry of a decoded index over image (whose records OpenArchiveImage checked):
// the last record, when it carries the reserved name or when its stored bytes begin like a
// record (the magic, and the record's size equal to the stored size). Either sign is enough, so
// that one changed bit in the index or in the record cannot make a covered payload pass for one
// without hashes. Null when the archive has none; *dataOffset receives where its stored bytes
// begin.
const uint8_t* FindIntegrityEntry(const uint8_t* index, const uint8_t* image, uint32_t* dataOffset);

// The digest of an index block as OpenArchiveImage makes it (header, then records).
void IndexDigest(const uint8_t* index, uint8_t out[kSha256Size]);

// The digest of the image with [skipOffset, skipOffset + skipSize) left out.
void ImageDigest(const uint8_t* image, uint32_t size, uint32_t skipOffset, uint32_t skipSize,
                 uint8_t out[kSha256Size]);

enum IntegrityCheckResult {
    kIntegrityIntact = 0,         // the record is whole and the index matches it
    kIntegrityRecordDamaged = 1,  // the record's own digest, form or entry count is wrong
    kIntegrityIndexDamaged = 2,   // the index does not match its digest
    kIntegrityUnknownFeature = 3, // a required feature, version or algorithm this code lacks
};

// Checks the record's bytes and the decoded index (which holds the record's entry) against each
// other; a required feature outside knownFeatures is refused (the tools know more than the
// updater of their day). *out is usable only when the result is kIntegrityIntact.
IntegrityCheckResult CheckIndexIntegrity(const uint8_t* index, const uint8_t* record, uint32_t size,
                                         IntegrityRecord* out,
                                         uint32_t knownFeatures = kKnownPayloadFeatures);

// 1 when the decoded bytes of the entry at position (in index order) match their digest; 0 for
// a mismatch or a position the record does not cover.
int EntryDigestMatches(const IntegrityRecord& record, uint32_t position, const uint8_t* decoded,
                       uint32_t size);
