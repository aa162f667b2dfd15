#include "payload/archive_writer.h"

#include <string.h>

#include "archive/archive_format.h"
#include "archive/scramble.h"
#include "payload/compress.h"

namespace {

void PutRecord(std::vector<uint8_t>* index, const ArchiveInput& e, bool compressed,
               uint32_t storedSize) {
    uint8_t rec[kArchiveEntrySize];
    memset(rec, 0, sizeof rec);
    memcpy(rec + kEntryNameOffset, e.name.data(), e.name.size());
    rec[kEntryStoreMethodOffset] = compressed ? kStoreCompressed : kStoreRaw;
    rec[kEntryScrambleMethodOffset] = e.scramble ? kScrambled : kScrambleNone;
    StoreLE64(rec + kEntryTimeOffset, e.time);
    StoreLE32(rec + kEntryDecodedSizeOffset, (uint32_t)e.size);
    StoreLE32(rec + kEntryStoredSizeOffset, storedSize);
    index->insert(index->end(), rec, rec + sizeof rec);
}

} // namespace

int BuildArchiveWith(const std::vector<ArchiveInput>& entries, const ArchiveOptions& options,
                     std::vector<uint8_t>* image, std::string* error) {
    const uint32_t indexFlags = options.indexFlags;
    std::vector<uint8_t> out(kArchiveHeaderSize, 0);
    std::vector<uint8_t> index;
    std::vector<uint8_t> packed;
    for (const ArchiveInput& e : entries) {
        if (e.name.empty() || e.name.size() >= kEntryNameSize ||
            memchr(e.name.data(), 0, e.name.size())) {
            *error = "entry name '" + e.name + "' is empty, too long or holds a NUL byte";
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
        PutRecord(&index, e, compressed, (uint32_t)stored);
    }
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
    StoreLE32(out.data() + kHeaderEntryCountOffset, (uint32_t)entries.size());
    image->swap(out);
    return 1;
}

int BuildArchive(const std::vector<ArchiveInput>& entries, uint32_t indexFlags,
                 std::vector<uint8_t>* image, std::string* error) {
    return BuildArchiveWith(entries, ArchiveOptions{indexFlags, kCompressFast, false}, image,
                            error);
}
