// Large payloads for the updater's tests: entries stored whole in the image, in chunks in the
// image, or in chunks in volumes, with the integrity record that describes them. Entries'
// bytes come from a function, so that a file of many GiB is never held: a run of equal chunks
// (a sparse file's zeros) is encoded once.
#pragma once

#include <stdio.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "archive/archive_format.h"
#include "archive/payload_deltas.h"
#include "archive/payload_integrity.h"
#include "archive/payload_large.h"
#include "payload/chunk_writer.h"

enum LargePlace { kWholeInImage, kChunksInImage, kChunksInVolumes };

struct LargeEntry {
    std::string name;
    uint64_t size;
    std::function<void(uint64_t at, uint8_t* to, uint32_t n)> bytes; // the decoded bytes
    LargePlace place;
};

inline LargeEntry LargeText(const std::string& name, const std::string& text, LargePlace place) {
    return LargeEntry{
        name, text.size(),
        [text](uint64_t at, uint8_t* to, uint32_t n) { memcpy(to, text.data() + at, n); }, place};
}

struct NamedBytes {
    std::string name;
    std::vector<uint8_t> bytes;
};

// The image and the volumes (named stem.001, ...; each at most volumeLimit bytes). The record
// requires features and PAYLOAD_FEATURE_LARGE; deltas are descriptors naming entries by
// position. Placed entries are cut into chunks of chunkSize decoded bytes.
inline void BuildLargePayload(const std::vector<LargeEntry>& entries, uint32_t features,
                              uint64_t volumeLimit, const std::string& stem,
                              std::vector<uint8_t>* image, std::vector<NamedBytes>* volumes,
                              const std::vector<uint8_t>& deltas = {}, uint64_t time = 1,
                              uint32_t chunkSize = kDefaultChunkSize) {
    std::vector<uint8_t> out(kArchiveHeaderSize, 0), index, stream, placed, digests, chunk;
    std::vector<uint8_t> decoded(chunkSize), last, lastStored;
    uint32_t lastWord = 0;
    for (uint32_t i = 0; i < entries.size(); ++i) {
        const LargeEntry& e = entries[i];
        Sha256Context sha;
        Sha256Init(&sha);
        std::vector<uint8_t> stored;
        const uint32_t count = ChunkCountFor(e.size, chunkSize);
        if (e.place != kWholeInImage)
            stored.resize(ChunkTableSize(count));
        for (uint64_t at = 0; at < e.size; at += chunkSize) {
            const uint32_t n = e.size - at < chunkSize ? (uint32_t)(e.size - at) : chunkSize;
            e.bytes(at, decoded.data(), n);
            Sha256Update(&sha, decoded.data(), n);
            if (e.place == kWholeInImage) {
                stored.insert(stored.end(), decoded.begin(), decoded.begin() + n);
                continue;
            }
            if (last.size() != n || memcmp(last.data(), decoded.data(), n) != 0) {
                last.assign(decoded.begin(), decoded.begin() + n);
                lastWord = EncodeChunk(last.data(), n, kCompressFast, true, &lastStored);
            }
            StoreLE32(stored.data() + at / chunkSize * 4, lastWord);
            stored.insert(stored.end(), lastStored.begin(), lastStored.end());
        }
        digests.resize(digests.size() + kSha256Size);
        Sha256Final(&sha, digests.data() + digests.size() - kSha256Size);
        uint8_t rec[kArchiveEntrySize] = {};
        memcpy(rec, e.name.data(), e.name.size());
        rec[kEntryStoreMethodOffset] = e.place == kWholeInImage ? kStoreRaw : kStoreCompressed;
        rec[kEntryScrambleMethodOffset] = e.place == kWholeInImage ? kScrambleNone : kScrambled;
        StoreLE64(rec + kEntryTimeOffset, time);
        StoreLE32(rec + kEntryDecodedSizeOffset, e.place == kWholeInImage ? (uint32_t)e.size : 0);
        if (e.place != kWholeInImage) {
            const bool inVolumes = e.place == kChunksInVolumes;
            const PlacedEntry p{i,
                                inVolumes ? kPlacedInVolumes : 0,
                                inVolumes ? stream.size() : 0,
                                stored.size(),
                                e.size,
                                chunkSize,
                                count};
            placed.resize(placed.size() + kPlacedEntrySize);
            WritePlacedEntry(p, placed.data() + placed.size() - kPlacedEntrySize);
        }
        if (e.place == kChunksInVolumes) {
            stream.insert(stream.end(), stored.begin(), stored.end());
        } else {
            StoreLE32(rec + kEntryStoredSizeOffset, (uint32_t)stored.size());
            out.insert(out.end(), stored.begin(), stored.end());
            out.resize((size_t)PaddedSize((uint32_t)(out.size() - kArchiveHeaderSize)) +
                       kArchiveHeaderSize);
        }
        index.insert(index.end(), rec, rec + sizeof rec);
    }
    volumes->clear();
    std::vector<uint8_t> records;
    for (uint64_t at = 0; at < stream.size(); at += volumeLimit) {
        const uint64_t n = stream.size() - at < volumeLimit ? stream.size() - at : volumeLimit;
        char name[16];
        snprintf(name, sizeof name, ".%03u", (unsigned)volumes->size() + 1);
        volumes->push_back(
            {stem + name, std::vector<uint8_t>(stream.begin() + at, stream.begin() + at + n)});
        uint8_t digest[kSha256Size], record[kVolumeRecordSize];
        Sha256(volumes->back().bytes.data(), n, digest);
        WritePayloadVolume(PayloadVolume{volumes->back().name.c_str(), n, digest}, record);
        records.insert(records.end(), record, record + kVolumeRecordSize);
    }
    const uint32_t count = (uint32_t)entries.size();
    const uint32_t deltaCount = (uint32_t)(deltas.size() / kDeltaDescriptorSize);
    const LargeSections large{placed.data(), (uint32_t)(placed.size() / kPlacedEntrySize),
                              records.data(), (uint32_t)volumes->size()};
    const uint32_t recordSize = IntegrityRecordSize(count, true, deltaCount, &large);
    const size_t recordOffset = out.size();
    out.resize(recordOffset + (size_t)PaddedSize(recordSize), 0);
    uint8_t rec[kArchiveEntrySize] = {};
    memcpy(rec, kIntegrityEntryName, sizeof kIntegrityEntryName);
    rec[kEntryStoreMethodOffset] = kStoreRaw;
    StoreLE32(rec + kEntryDecodedSizeOffset, recordSize);
    StoreLE32(rec + kEntryStoredSizeOffset, recordSize);
    index.insert(index.end(), rec, rec + sizeof rec);
    memcpy(out.data(), "QV2", 4);
    StoreLE32(out.data() + kHeaderIndexOffsetOffset, (uint32_t)out.size());
    StoreLE32(out.data() + kHeaderEntryCountOffset, count + 1);
    std::vector<uint8_t> block(out.begin(), out.begin() + kArchiveHeaderSize);
    block.insert(block.end(), index.begin(), index.end());
    out.insert(out.end(), index.begin(), index.end());
    uint8_t indexDigest[kSha256Size], imageDigest[kSha256Size];
    IndexDigest(block.data(), indexDigest);
    ImageDigest(out.data(), (uint32_t)out.size(), (uint32_t)recordOffset, recordSize, imageDigest);
    WriteIntegrityRecord(features | PAYLOAD_FEATURE_LARGE, indexDigest, imageDigest, count,
                         digests.data(), out.data() + recordOffset, deltaCount,
                         deltas.empty() ? nullptr : deltas.data(), &large);
    image->swap(out);
}
