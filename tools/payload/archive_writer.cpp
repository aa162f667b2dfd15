#include "payload/archive_writer.h"

#include <string.h>

#include <algorithm>

#include "archive/archive_format.h"
#include "archive/archive_index.h"
#include "archive/payload_deltas.h"
#include "archive/payload_integrity.h"
#include "archive/scramble.h"
#include "payload/compress.h"

namespace {

void PutRecord(std::vector<uint8_t>* index, const std::string& name, bool compressed,
               bool scrambled, uint64_t time, uint32_t decodedSize, uint32_t storedSize) {
    uint8_t rec[kArchiveEntrySize];
    memset(rec, 0, sizeof rec);
    memcpy(rec + kEntryNameOffset, name.data(), name.size());
    rec[kEntryStoreMethodOffset] = compressed ? kStoreCompressed : kStoreRaw;
    rec[kEntryScrambleMethodOffset] = scrambled ? kScrambled : kScrambleNone;
    StoreLE64(rec + kEntryTimeOffset, time);
    StoreLE32(rec + kEntryDecodedSizeOffset, decodedSize);
    StoreLE32(rec + kEntryStoredSizeOffset, storedSize);
    index->insert(index->end(), rec, rec + sizeof rec);
}

// The reserved name, compared as the updater compares names (ASCII letters without case).
bool IsReservedName(const std::string& name) {
    const size_t length = sizeof kIntegrityEntryName - 1;
    if (name.size() != length)
        return false;
    for (size_t i = 0; i < length; ++i) {
        char a = name[i], b = kIntegrityEntryName[i];
        if (a >= 'a' && a <= 'z')
            a = (char)(a - 'a' + 'A');
        if (a != b)
            return false;
    }
    return true;
}

} // namespace

int BuildArchiveWith(const std::vector<ArchiveInput>& entries, const ArchiveOptions& options,
                     std::vector<uint8_t>* image, std::string* error) {
    const uint32_t indexFlags = options.indexFlags;
    std::vector<uint8_t> out(kArchiveHeaderSize, 0);
    // Room for every entry as is, so that the image is not moved as it grows: moving it would
    // hold a large payload twice, beside the files it is made of.
    uint64_t room = kArchiveHeaderSize + kEntryAlignment;
    for (const ArchiveInput& e : entries)
        room += PaddedSize((uint32_t)std::min<uint64_t>(e.size, UINT32_MAX));
    // The record and the index after them: an index that does not compress grows a little.
    const uint64_t count = entries.size() + 1;
    room +=
        IntegrityRecordSize((uint32_t)count, true,
                            (uint32_t)(options.deltaDescriptors.size() / kDeltaDescriptorSize)) +
        count * kArchiveEntrySize * 2 + 4096;
    if (room <= UINT32_MAX)
        out.reserve((size_t)room);
    std::vector<uint8_t> index;
    std::vector<uint8_t> packed;
    std::vector<uint8_t> digests; // one per entry, with integrity
    const uint32_t deltaCount = (uint32_t)(options.deltaDescriptors.size() / kDeltaDescriptorSize);
    if (options.deltaDescriptors.size() % kDeltaDescriptorSize != 0 ||
        (deltaCount && !options.integrity)) {
        *error = "delta descriptors need the integrity record and whole descriptors";
        return 0;
    }
    for (const ArchiveInput& e : entries) {
        if (e.name.empty() || e.name.size() >= kEntryNameSize ||
            memchr(e.name.data(), 0, e.name.size())) {
            *error = "entry name '" + e.name + "' is empty, too long or holds a NUL byte";
            return 0;
        }
        if (IsReservedName(e.name)) {
            *error = "entry name '" + e.name + "' is reserved for the integrity record";
            return 0;
        }
        if (e.size > UINT32_MAX) {
            *error = "entry '" + e.name + "' is larger than 4 GiB";
            return 0;
        }
        const size_t start = out.size();
        bool compressed = e.compress;
        if (compressed) {
            packed.clear();
            CompressBlock(e.data, e.size, options.level, &packed);
            compressed = !options.onlyWhenSmaller || packed.size() < e.size;
        }
        if (compressed) {
            out.insert(out.end(), packed.begin(), packed.end());
        } else {
            out.insert(out.end(), e.data, e.data + e.size);
        }
        const size_t stored = out.size() - start;
        if (stored > UINT32_MAX || out.size() > UINT32_MAX) {
            *error = "the archive would be larger than 4 GiB";
            return 0;
        }
        if (e.scramble)
            Scramble(out.data() + start, (uint32_t)stored);
        out.resize(start + (size_t)PaddedSize((uint32_t)stored), 0);
        PutRecord(&index, e.name, compressed, e.scramble, e.time, (uint32_t)e.size,
                  (uint32_t)stored);
        if (options.integrity) {
            digests.resize(digests.size() + kSha256Size);
            Sha256(e.data, e.size, digests.data() + digests.size() - kSha256Size);
        }
    }
    // The record's size is known before its contents: it takes its place now and is filled in
    // once the index it describes is final.
    const size_t recordOffset = out.size();
    uint32_t recordSize = 0;
    if (options.integrity) {
        recordSize = IntegrityRecordSize((uint32_t)entries.size(), true, deltaCount);
        if (out.size() + PaddedSize(recordSize) > UINT32_MAX) {
            *error = "the archive would be larger than 4 GiB";
            return 0;
        }
        out.resize(out.size() + (size_t)PaddedSize(recordSize), 0);
        PutRecord(&index, kIntegrityEntryName, false, false, 0, recordSize, recordSize);
    }
    // The decoded records, kept for the index digest.
    const std::vector<uint8_t> records = options.integrity ? index : std::vector<uint8_t>();
    const size_t indexOffset = out.size();
    if (indexFlags & kIndexCompressed) {
        packed.clear();
        CompressBlock(index.data(), index.size(), options.level, &packed);
        index.swap(packed);
    }
    if (indexOffset + index.size() > UINT32_MAX) {
        *error = "the archive would be larger than 4 GiB";
        return 0;
    }
    if (indexFlags & kIndexScrambled)
        Scramble(index.data(), (uint32_t)index.size());
    out.insert(out.end(), index.begin(), index.end());

    memcpy(out.data() + kHeaderMagicOffset, "QV2", 4);
    StoreLE32(out.data() + kHeaderFlagsOffset, indexFlags & (kIndexCompressed | kIndexScrambled));
    StoreLE32(out.data() + kHeaderIndexOffsetOffset, (uint32_t)indexOffset);
    StoreLE32(out.data() + kHeaderEntryCountOffset,
              (uint32_t)entries.size() + (options.integrity ? 1 : 0));
    if (options.integrity) {
        std::vector<uint8_t> block(out.data(), out.data() + kArchiveHeaderSize);
        block.insert(block.end(), records.begin(), records.end());
        uint8_t indexDigest[kSha256Size], imageDigest[kSha256Size];
        IndexDigest(block.data(), indexDigest);
        ImageDigest(out.data(), (uint32_t)out.size(), (uint32_t)recordOffset, recordSize,
                    imageDigest);
        WriteIntegrityRecord(options.requiredFeatures, indexDigest, imageDigest,
                             (uint32_t)entries.size(), digests.data(), out.data() + recordOffset,
                             deltaCount, options.deltaDescriptors.data());
    }
    image->swap(out);
    return 1;
}

int BuildArchive(const std::vector<ArchiveInput>& entries, uint32_t indexFlags,
                 std::vector<uint8_t>* image, std::string* error) {
    return BuildArchiveWith(entries, ArchiveOptions{indexFlags, kCompressFast, false}, image,
                            error);
}
