// Large payloads: chunked entries read back through the reader the updater and mkupdate share,
// damage and read failures it must report, and the checks that refuse placed-entry and volume
// records a reader could be misled by.
#include "archive/payload_large.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "archive/payload_integrity.h"
#include "payload/chunk_writer.h"

namespace {

void* Alloc(size_t size) {
    return malloc(size ? size : 1);
}
void Free(void* p) {
    free(p);
}

// Stored bytes in memory; failAt > 0 fails that read (counted from 1).
struct Source {
    std::vector<uint8_t> bytes;
    int failAt = 0;
    int reads = 0;
};

int ReadSource(void* context, uint64_t offset, uint8_t* to, uint32_t n) {
    Source* s = (Source*)context;
    if (++s->reads == s->failAt || offset > s->bytes.size() || n > s->bytes.size() - offset)
        return 0;
    memcpy(to, s->bytes.data() + offset, n);
    return 1;
}

std::vector<uint8_t> Content(size_t size, bool compressible) {
    std::vector<uint8_t> v(size);
    uint32_t x = 12345;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245 + 12345;
        v[i] = compressible ? (uint8_t)("chunked entry "[i % 14]) : (uint8_t)(x >> 16);
    }
    return v;
}

// The stored form of data as the writer makes it, and its descriptor (in the image).
PlacedEntry Encode(const std::vector<uint8_t>& data, bool scramble, Source* out) {
    PlacedEntry e{
        0, 0, 0, 0, data.size(), kMinChunkSize, ChunkCountFor(data.size(), kMinChunkSize)};
    out->bytes.assign(ChunkTableSize(e.chunkCount), 0);
    std::vector<uint8_t> chunk;
    for (uint32_t i = 0; i < e.chunkCount; ++i) {
        const uint32_t word = EncodeChunk(data.data() + (size_t)i * e.chunkSize,
                                          ChunkDecodedSize(e, i), kCompressFast, scramble, &chunk);
        StoreLE32(out->bytes.data() + i * 4, word);
        out->bytes.insert(out->bytes.end(), chunk.begin(), chunk.end());
    }
    e.storedSize = out->bytes.size();
    return e;
}

ChunkReadResult ReadAll(const PlacedEntry& e, bool scrambled, Source* s,
                        std::vector<uint8_t>* out) {
    ChunkedReader r;
    ChunkReadResult result = OpenChunkedReader(e, scrambled, ReadSource, s, Alloc, Free, &r);
    out->clear();
    // Parts that do not line up with the chunks.
    std::vector<uint8_t> part(7777);
    while (result == kChunkRead && r.at < e.decodedSize) {
        const uint64_t before = r.at;
        result = ReadChunked(&r, part.data(), (uint32_t)part.size());
        out->insert(out->end(), part.begin(), part.begin() + (size_t)(r.at - before));
    }
    CloseChunkedReader(&r);
    return result;
}

TEST(ChunkedEntries, ReadBackWhateverTheSizeAndForm) {
    const size_t sizes[] = {
        0, 1, kMinChunkSize - 1, kMinChunkSize, kMinChunkSize + 1, 3 * kMinChunkSize + 5};
    for (size_t size : sizes) {
        for (int form = 0; form < 4; ++form) {
            const bool compressible = form & 1, scramble = form & 2;
            const std::vector<uint8_t> data = Content(size, compressible);
            Source s;
            const PlacedEntry e = Encode(data, scramble, &s);
            if (compressible && size > 1000) {
                EXPECT_LT(e.storedSize, size / 4) << size;
            }
            std::vector<uint8_t> back;
            EXPECT_EQ(kChunkRead, ReadAll(e, scramble, &s, &back)) << size << " form " << form;
            EXPECT_EQ(data, back) << size << " form " << form;
        }
    }
}

TEST(ChunkedEntries, DamageAndReadFailuresAreTold) {
    // Chunk 0 compressed, chunk 1 stored as is, chunk 2 a short compressed tail.
    std::vector<uint8_t> data = Content(2 * kMinChunkSize + 300, true);
    const std::vector<uint8_t> noise = Content(kMinChunkSize, false);
    std::copy(noise.begin(), noise.end(), data.begin() + kMinChunkSize);
    Source clean;
    const PlacedEntry entry = Encode(data, true, &clean);
    ASSERT_NE(0u, LoadLE32(clean.bytes.data()) & kChunkCompressed);
    ASSERT_EQ(kMinChunkSize, LoadLE32(clean.bytes.data() + 4));

    struct Case {
        const char* what;
        void (*spoil)(PlacedEntry*, Source*);
        ChunkReadResult expect;
    };
    const Case cases[] = {
        {"stored size one more than the chunks", [](PlacedEntry* e, Source*) { ++e->storedSize; },
         kChunkDamaged},
        {"a chunk stored as is with the wrong size",
         [](PlacedEntry* e, Source* s) {
             StoreLE32(s->bytes.data() + 4, kMinChunkSize - 1);
             --e->storedSize;
         },
         kChunkDamaged},
        {"a compressed chunk larger than its decoded size",
         [](PlacedEntry* e, Source* s) {
             const uint32_t word = LoadLE32(s->bytes.data());
             const uint32_t grow = kMinChunkSize + 1 - (word & kChunkStoredSizeMask);
             StoreLE32(s->bytes.data(), word + grow);
             e->storedSize += grow;
         },
         kChunkDamaged},
        {"a compressed chunk cut short of its end marker",
         [](PlacedEntry* e, Source* s) {
             StoreLE32(s->bytes.data(), LoadLE32(s->bytes.data()) - 1);
             const size_t end = 12 + (LoadLE32(s->bytes.data()) & kChunkStoredSizeMask);
             s->bytes.erase(s->bytes.begin() + end);
             --e->storedSize;
         },
         kChunkDamaged},
        {"the table cannot be read", [](PlacedEntry*, Source* s) { s->failAt = 1; },
         kChunkReadFailed},
        {"the last chunk cannot be read", [](PlacedEntry*, Source* s) { s->failAt = 4; },
         kChunkReadFailed},
    };
    for (const Case& c : cases) {
        PlacedEntry e = entry;
        Source s = clean;
        c.spoil(&e, &s);
        std::vector<uint8_t> back;
        EXPECT_EQ(c.expect, ReadAll(e, true, &s, &back)) << c.what;
    }
}

// An index of three entries (the last the integrity record's): entry 0 placed in the image,
// entry 1 placed in the volumes, and the records that describe them.
struct Layout {
    std::vector<uint8_t> index = std::vector<uint8_t>(kArchiveHeaderSize + 3 * kArchiveEntrySize);
    PlacedEntry placed[2] = {{0, 0, 0, 4 + 100, 100, kMinChunkSize, 1},
                             {1, kPlacedInVolumes, 10, 4 * 2 + 5000, 70000, kMinChunkSize, 2}};
    std::string names[2] = {"UPDATE.001", "update.002"};
    uint64_t sizes[2] = {3000, 3000};
    uint32_t volumeCount = 2;

    uint8_t* Record(int i) { return index.data() + kArchiveHeaderSize + i * kArchiveEntrySize; }

    int Valid() {
        StoreLE32(index.data() + kHeaderEntryCountOffset, 3);
        std::vector<uint8_t> p(2 * kPlacedEntrySize), v(2 * kVolumeRecordSize);
        for (int i = 0; i < 2; ++i) {
            WritePlacedEntry(placed[i], p.data() + i * kPlacedEntrySize);
            const uint8_t digest[kSha256Size] = {};
            WritePayloadVolume({names[i].c_str(), sizes[i], digest},
                               v.data() + i * kVolumeRecordSize);
        }
        return LargeSectionsValid(p.data(), 2, volumeCount ? v.data() : nullptr, volumeCount,
                                  index.data());
    }

    Layout() {
        for (int i = 0; i < 2; ++i)
            Record(i)[kEntryStoreMethodOffset] = kStoreCompressed;
        StoreLE32(Record(0) + kEntryStoredSizeOffset, 104);
    }
};

TEST(LargeSections, RecordsThatWouldMisleadAReaderAreRefused) {
    ASSERT_EQ(1, Layout().Valid());
    struct Case {
        const char* what;
        void (*spoil)(Layout*);
    };
    const Case cases[] = {
        {"an unknown flag", [](Layout* l) { l->placed[0].flags = 2; }},
        {"a chunk size that is no power of two", [](Layout* l) { l->placed[1].chunkSize += 1; }},
        {"a chunk size below the least", [](Layout* l) { l->placed[0].chunkSize = 4096; }},
        {"a chunk count that does not fit the size",
         [](Layout* l) { l->placed[1].chunkCount = 3; }},
        {"stored bytes smaller than the chunk table",
         [](Layout* l) { l->placed[1].storedSize = 7; }},
        {"positions not rising", [](Layout* l) { l->placed[1].position = 0; }},
        {"the integrity record described", [](Layout* l) { l->placed[1].position = 2; }},
        {"an index record that says stored as is",
         [](Layout* l) { l->Record(1)[kEntryStoreMethodOffset] = kStoreRaw; }},
        {"an index record with a decoded size",
         [](Layout* l) { StoreLE32(l->Record(0) + kEntryDecodedSizeOffset, 100); }},
        {"an entry in the image whose sizes differ",
         [](Layout* l) { StoreLE32(l->Record(0) + kEntryStoredSizeOffset, 105); }},
        {"an entry in the image with an offset", [](Layout* l) { l->placed[0].offset = 16; }},
        {"an entry in the volumes with stored bytes in the image",
         [](Layout* l) { StoreLE32(l->Record(1) + kEntryStoredSizeOffset, 16); }},
        {"an entry running past the volumes", [](Layout* l) { l->placed[1].offset = 1000; }},
        {"an entry in the volumes without volumes", [](Layout* l) { l->volumeCount = 0; }},
        {"volumes no entry lies in", [](Layout* l) { l->placed[1].flags = 0; }},
        {"an empty volume", [](Layout* l) { l->sizes[1] = 0; }},
        {"two volumes of one name", [](Layout* l) { l->names[1] = "update.001"; }},
        {"a volume name with a folder", [](Layout* l) { l->names[0] = "..\\UPDATE.001"; }},
    };
    for (const Case& c : cases) {
        Layout l;
        c.spoil(&l);
        EXPECT_EQ(0, l.Valid()) << c.what;
    }
}

TEST(LargeSections, VolumeNames) {
    const struct {
        const char* name;
        int valid;
    } cases[] = {
        {"UPDATE.001", 1}, {"\x83\x51\x81\x5b\x83\x80.002", 1},
        {"a\x81\x5c", 1},  {"", 0},
        {".", 0},          {"..", 0},
        {"a.", 0},         {"a ", 0},
        {"a/b", 0},        {"C:a", 0},
        {"a\\b", 0},       {"a?", 0},
        {"a\x01", 0},      {"a\x81", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.valid, VolumeNameValid(c.name)) << c.name;
    std::string longest(kEntryNameSize, 'a');
    EXPECT_EQ(0, VolumeNameValid(longest.c_str()));
    longest.pop_back();
    EXPECT_EQ(1, VolumeNameValid(longest.c_str()));
}

TEST(LargeSections, TravelInTheIntegrityRecordWithTheirFeature) {
    Layout l;
    std::vector<uint8_t> p(2 * kPlacedEntrySize), v(kVolumeRecordSize);
    for (int i = 0; i < 2; ++i)
        WritePlacedEntry(l.placed[i], p.data() + i * kPlacedEntrySize);
    const uint8_t digest[kSha256Size] = {7};
    WritePayloadVolume({"UPDATE.001", 6000, digest}, v.data());
    const LargeSections large{p.data(), 2, v.data(), 1};
    const uint8_t digests[2 * kSha256Size] = {};
    std::vector<uint8_t> record(IntegrityRecordSize(2, false, 0, &large));
    WriteIntegrityRecord(PAYLOAD_FEATURE_INTEGRITY, digest, nullptr, 2, digests, record.data(), 0,
                         nullptr, &large);
    IntegrityRecord r;
    ASSERT_EQ(kIntegrityParsed, ParseIntegrityRecord(record.data(), (uint32_t)record.size(), &r));
    EXPECT_EQ((uint32_t)(PAYLOAD_FEATURE_INTEGRITY | PAYLOAD_FEATURE_LARGE), r.requiredFeatures);
    ASSERT_EQ(2u, r.placedCount);
    ASSERT_EQ(1u, r.volumeCount);
    PlacedEntry e;
    ASSERT_EQ(1, FindPlacedEntry(r.placed, r.placedCount, 1, &e));
    EXPECT_EQ(70000u, e.decodedSize);
    EXPECT_EQ(0, FindPlacedEntry(r.placed, r.placedCount, 2, &e));
    PayloadVolume vol;
    ReadPayloadVolume(r.volumes, 0, &vol);
    EXPECT_STREQ("UPDATE.001", vol.name);
    EXPECT_EQ(6000u, vol.size);
}

} // namespace
