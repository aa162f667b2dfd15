#include "archive/archive_index.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <string>
#include <vector>

#include "archive/decompress.h"
#include "archive/scramble.h"
#include "payload/archive_writer.h"
#include "payload/compress.h"

namespace {

int CaseInsensitive(const char* a, const char* b) {
    return strcasecmp(a, b);
}

int g_allocations = 0;
int g_failAllocation = -1; // index of the allocation that fails, or -1

void* CountingAlloc(size_t size) {
    if (g_allocations++ == g_failAllocation)
        return nullptr;
    return malloc(size);
}

void PlainFree(void* p) {
    free(p);
}

std::vector<uint8_t> Build(const std::vector<ArchiveInput>& entries, uint32_t flags) {
    std::vector<uint8_t> image;
    std::string error;
    EXPECT_EQ(1, BuildArchive(entries, flags, &image, &error)) << error;
    return image;
}

ArchiveInput Entry(const std::string& name, const std::vector<uint8_t>& bytes, bool compress,
                   bool scramble) {
    return ArchiveInput{name,     bytes.data(), bytes.size(), 0x01D0000012345678ull,
                        compress, scramble};
}

uint8_t* Open(const std::vector<uint8_t>& image) {
    // A copy of exactly the image's size: an overread shows under ASan.
    std::vector<uint8_t> copy(image);
    g_allocations = 0;
    return OpenArchiveImage(copy.data(), (uint32_t)copy.size(), CountingAlloc, PlainFree);
}

bool Opens(const std::vector<uint8_t>& image) {
    uint8_t* index = Open(image);
    free(index);
    return index != nullptr;
}

class ArchiveIndexTest : public ::testing::TestWithParam<uint32_t> {};

TEST_P(ArchiveIndexTest, OpensAndLooksUpWithEveryIndexForm) {
    const uint32_t flags = GetParam();
    std::vector<uint8_t> a(32, 'a'), b(33, 'b'), c, d(5, 'd');
    std::vector<uint8_t> image =
        Build({Entry("ONE.DAT", a, false, false), Entry("TWO.DAT", b, false, true),
               Entry("EMPTY", c, true, true), Entry("UPDATE.INI", d, true, false),
               Entry("update.ini", a, false, false)},
              flags);
    uint8_t* index = Open(image);
    ASSERT_NE(nullptr, index);
    EXPECT_EQ(0, memcmp(index, image.data(), kArchiveHeaderSize));
    EXPECT_EQ(5u, IndexEntryCount(index));

    uint32_t offset = 0;
    EXPECT_NE(nullptr, LookupEntry(index, "one.dat", CaseInsensitive, &offset));
    EXPECT_EQ(16u, offset);
    EXPECT_NE(nullptr, LookupEntry(index, "TWO.DAT", CaseInsensitive, &offset));
    EXPECT_EQ(16u + 32, offset) << "a stored size of 32 adds exactly 32";
    EXPECT_NE(nullptr, LookupEntry(index, "EMPTY", CaseInsensitive, &offset));
    EXPECT_EQ(16u + 32 + 48, offset) << "a stored size of 33 adds 48";
    const uint8_t* empty = LookupEntry(index, "EMPTY", CaseInsensitive, nullptr);
    const uint8_t* ini = LookupEntry(index, "Update.Ini", CaseInsensitive, &offset);
    ASSERT_NE(nullptr, ini);
    EXPECT_EQ(16u + 32 + 48 + PaddedSize(EntryStoredSize(empty)), offset);
    EXPECT_EQ(IndexRecords(index) + 3 * kArchiveEntrySize, ini) << "the first of two names wins";
    EXPECT_EQ(5u, EntryDecodedSize(ini));
    EXPECT_EQ(nullptr, LookupEntry(index, "MISSING", CaseInsensitive, &offset));
    free(index);
}

INSTANTIATE_TEST_SUITE_P(IndexFlags, ArchiveIndexTest,
                         ::testing::Values(0u, kIndexCompressed, kIndexScrambled,
                                           kIndexCompressed | kIndexScrambled));

TEST(ArchiveIndex, NoEntriesOpens) {
    for (uint32_t flags = 0; flags < 4; ++flags) {
        uint8_t* index = Open(Build({}, flags));
        ASSERT_NE(nullptr, index) << "flags " << flags;
        EXPECT_EQ(nullptr, LookupEntry(index, "UPDATE.INI", CaseInsensitive, nullptr));
        free(index);
    }
}

// A raw image with the given header, records and data area, for cases the writer won't make.
std::vector<uint8_t> RawImage(uint32_t flags, uint32_t indexOffset, uint32_t count,
                              const std::vector<uint8_t>& tail) {
    std::vector<uint8_t> image(16, 0);
    memcpy(image.data(), "QV2", 4);
    StoreLE32(image.data() + 4, flags);
    StoreLE32(image.data() + 8, indexOffset);
    StoreLE32(image.data() + 12, count);
    image.insert(image.end(), tail.begin(), tail.end());
    return image;
}

std::vector<uint8_t> Record(const char* name, uint8_t store, uint32_t decoded, uint32_t stored) {
    std::vector<uint8_t> rec(kArchiveEntrySize, 0);
    memcpy(rec.data(), name, strlen(name));
    rec[kEntryStoreMethodOffset] = store;
    StoreLE32(rec.data() + kEntryDecodedSizeOffset, decoded);
    StoreLE32(rec.data() + kEntryStoredSizeOffset, stored);
    return rec;
}

std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(ArchiveIndex, RefusesNumbersThatDoNotFit) {
    std::vector<uint8_t> data16(16, 'x');
    std::vector<uint8_t> good = Concat(data16, Record("A", kStoreRaw, 16, 16));
    ASSERT_TRUE(Opens(RawImage(0, 32, 1, good))) << "the control case opens";

    std::vector<uint8_t> unterminated = Record("A", kStoreRaw, 0, 0);
    memset(unterminated.data(), 'n', kEntryNameSize);

    struct Case {
        const char* what;
        std::vector<uint8_t> image;
    };
    std::vector<uint8_t> compressedShort;
    std::vector<uint8_t> oneRecord = Record("A", kStoreRaw, 0, 0);
    CompressGreedy(oneRecord.data(), oneRecord.size() - 1, &compressedShort);
    std::vector<uint8_t> compressedLong;
    std::vector<uint8_t> twoRecords = Concat(oneRecord, oneRecord);
    CompressGreedy(twoRecords.data(), twoRecords.size(), &compressedLong);
    std::vector<uint8_t> compressedRight;
    CompressGreedy(oneRecord.data(), oneRecord.size(), &compressedRight);
    ASSERT_TRUE(Opens(RawImage(kIndexCompressed, 16, 1, compressedRight)));

    const Case cases[] = {
        {"shorter than a header", std::vector<uint8_t>(15, 0)},
        {"index offset inside the header", RawImage(0, 8, 0, {})},
        {"index offset past the end", RawImage(0, 17, 0, {})},
        {"index does not fit", RawImage(0, 32, 2, good)},
        {"entry count overflows 32 bits", RawImage(0, 16, 0x0EA0EA0F, {})},
        {"compressed index decodes short", RawImage(kIndexCompressed, 16, 1, compressedShort)},
        {"compressed index decodes long", RawImage(kIndexCompressed, 16, 1, compressedLong)},
        {"compressed index beyond any expansion",
         RawImage(kIndexCompressed, 16, 100000, compressedRight)},
        {"stored bytes past the data area",
         RawImage(0, 32, 1, Concat(data16, Record("A", kStoreRaw, 17, 17)))},
        {"second entry past the data area",
         RawImage(
             0, 32, 2,
             Concat(Concat(data16, Record("A", kStoreRaw, 16, 16)), Record("B", kStoreRaw, 1, 1)))},
        {"stored size near 4 GiB",
         RawImage(0, 32, 1, Concat(data16, Record("A", kStoreRaw, 0xFFFFFFF8u, 0xFFFFFFF8u)))},
        {"raw entry whose sizes differ",
         RawImage(0, 32, 1, Concat(data16, Record("A", kStoreRaw, 17, 16)))},
        {"compressed entry beyond any expansion",
         RawImage(0, 32, 1, Concat(data16, Record("A", kStoreCompressed, 100000, 16)))},
        {"name without a terminator", RawImage(0, 16, 1, unterminated)},
    };
    for (const Case& c : cases)
        EXPECT_FALSE(Opens(c.image)) << c.what;
}

TEST(ArchiveIndex, EveryShorterImageIsRefused) {
    std::vector<uint8_t> content(3000);
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = (uint8_t)(i % 251);
    for (uint32_t flags = 0; flags < 4; ++flags) {
        std::vector<uint8_t> image =
            Build({Entry("A", content, true, true), Entry("B", content, false, false)}, flags);
        for (size_t cut = 0; cut < image.size(); ++cut) {
            std::vector<uint8_t> prefix(image.begin(), image.begin() + cut);
            EXPECT_FALSE(Opens(prefix)) << "flags " << flags << " cut at " << cut;
        }
    }
}

TEST(ArchiveIndex, AllocationFailuresLeaveNothingBehind) {
    std::vector<uint8_t> content(100, 'c');
    std::vector<uint8_t> image =
        Build({Entry("A", content, true, true)}, kIndexCompressed | kIndexScrambled);
    for (int fail = 0; fail < 2; ++fail) {
        g_failAllocation = fail;
        EXPECT_FALSE(Opens(image)) << "allocation " << fail << " fails";
    }
    g_failAllocation = -1;
    uint8_t* index = Open(image);
    EXPECT_NE(nullptr, index);
    EXPECT_EQ(2, g_allocations) << "index block and unscrambling copy";
    free(index);
}

TEST(ArchiveIndex, ScrambledCompressedIndexIsKeyedByTheWholeTail) {
    std::vector<uint8_t> content(10, 'k');
    std::vector<uint8_t> image =
        Build({Entry("K", content, false, false)}, kIndexCompressed | kIndexScrambled);
    const uint32_t indexOffset = LoadLE32(image.data() + 8);
    const uint32_t tail = (uint32_t)image.size() - indexOffset;
    // Unscrambling with the tail's length must give a stream that decodes to one record.
    std::vector<uint8_t> stream(image.begin() + indexOffset, image.end());
    Scramble(stream.data(), tail);
    std::vector<uint8_t> rec(kArchiveEntrySize);
    EXPECT_EQ(1, Decompress(rec.data(), rec.size(), stream.data(), stream.size()));
    EXPECT_STREQ("K", (const char*)rec.data());
}

} // namespace
