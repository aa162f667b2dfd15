// The updater against the payload's integrity record: the check at start, and entries held to
// their hashes before anything is written, shown or returned.
#include <gtest/gtest.h>

#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/archive_format.h"
#include "archive/payload_integrity.h"
#include "payload/archive_writer.h"
#include "win/win_test_support.h"

namespace {

const uint64_t kTime = 0x01D5A1B2C3D4E5F6ull;

std::vector<uint8_t> Content(size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(size);
    for (size_t i = 0; i < size; ++i)
        v[i] = (rng() % 4 == 0) ? (uint8_t)rng() : (uint8_t)("game data "[i % 10]);
    return v;
}

// RAW.DAT stored as is, PACKED.DAT compressed and scrambled, TEXT.TXT stored as is.
struct Files {
    std::vector<uint8_t> raw = Content(3000, 1), packed = Content(20000, 2);
    std::string text = "licence text";
};

std::vector<uint8_t> Image(const Files& f, bool integrity, uint32_t flags = 3,
                           uint32_t required = 0) {
    std::vector<ArchiveInput> entries{
        {"RAW.DAT", f.raw.data(), f.raw.size(), kTime, false, false},
        {"PACKED.DAT", f.packed.data(), f.packed.size(), kTime, true, true},
        {"TEXT.TXT", (const uint8_t*)f.text.data(), f.text.size(), kTime, false, true}};
    ArchiveOptions options{flags, kCompressFast, false};
    options.integrity = integrity;
    options.requiredFeatures = required;
    std::vector<uint8_t> image;
    std::string error;
    EXPECT_EQ(1, BuildArchiveWith(entries, options, &image, &error)) << error;
    return image;
}

// Where the i-th entry's stored bytes begin.
size_t StoredAt(const std::vector<uint8_t>& image, int i) {
    EXPECT_EQ(1, LoadPayload(image));
    size_t at = kArchiveHeaderSize;
    for (int k = 0; k < i; ++k)
        at += (size_t)PaddedSize(EntryStoredSize(ArchiveEntries + k * kArchiveEntrySize));
    return at;
}

std::string Damaged(const char* name) {
    return std::string("UPDATE|アップデートデータが壊れています（") + name + "）";
}

int Allocations = 0;
HGLOBAL(WINAPI* RealGlobalAlloc)(UINT, SIZE_T) = nullptr;
HGLOBAL(WINAPI* RealGlobalFree)(HGLOBAL) = nullptr;
HGLOBAL WINAPI CountingAlloc(UINT flags, SIZE_T size) {
    HGLOBAL h = RealGlobalAlloc(flags, size);
    Allocations += h != nullptr;
    return h;
}
HGLOBAL WINAPI CountingFree(HGLOBAL h) {
    Allocations -= h != nullptr;
    return RealGlobalFree(h);
}

class IntegrityTest : public GatedFolderTest {
  protected:
    Files files;
};

// The hash as this toolchain built it, on each path the processor has: the payloads the other
// tests make are checked by the same code that wrote them.
TEST(IntegritySha256, KnownDigestsOnEveryPath) {
    const uint8_t abc[kSha256Size] = {0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea,
                                      0x41, 0x41, 0x40, 0xde, 0x5d, 0xae, 0x22, 0x23,
                                      0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17, 0x7a, 0x9c,
                                      0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
    const uint8_t million[kSha256Size] = {0xcd, 0xc7, 0x6e, 0x5c, 0x99, 0x14, 0xfb, 0x92,
                                          0x81, 0xa1, 0xc7, 0xe2, 0x84, 0xd7, 0x3e, 0x67,
                                          0xf1, 0x80, 0x9a, 0x48, 0xa4, 0x97, 0x20, 0x0e,
                                          0x04, 0x6d, 0x39, 0xcc, 0xc7, 0x11, 0x2c, 0xd0};
    const std::string a(1000000, 'a');
    for (Sha256Path path : {kSha256Portable, kSha256Accelerated}) {
        if (!Sha256UsePath(path))
            continue;
        uint8_t d[kSha256Size];
        Sha256("abc", 3, d);
        EXPECT_EQ(0, memcmp(abc, d, kSha256Size)) << path;
        Sha256(a.data(), a.size(), d);
        EXPECT_EQ(0, memcmp(million, d, kSha256Size)) << path;
    }
    Sha256UsePath(Sha256HasAcceleration() ? kSha256Accelerated : kSha256Portable);
}

TEST_F(IntegrityTest, CoveredPayloadChecksAtOpenAndExtractsAsBefore) {
    const std::vector<uint8_t> image = Image(files, true);
    ASSERT_EQ(1, LoadPayload(image));
    EXPECT_EQ(0, PayloadIntegrity.covered) << "not until it is checked";
    ASSERT_EQ(1, CheckPayloadIntegrity());
    EXPECT_EQ(1, PayloadIntegrity.covered);
    EXPECT_EQ(3u, PayloadIntegrity.record.entryCount);
    ASSERT_EQ(1, ExtractEntry("packed.dat", folder.File("PACKED.DAT").c_str(), 0));
    EXPECT_TRUE(files.packed == ReadBytes(folder.File("PACKED.DAT")));
    EXPECT_EQ(1, VerifyEntry("RAW.DAT"));
    uint32_t size = 0;
    const char* text = (const char*)FindEntryData("TEXT.TXT", &size);
    ASSERT_NE(nullptr, text);
    EXPECT_EQ(files.text, std::string(text, size));
    // The record is no entry anyone can ask for.
    EXPECT_EQ(0, ExtractEntry(kIntegrityEntryName, folder.File("R").c_str(), 0));
    EXPECT_EQ(0, VerifyEntry("<qv2|integrity>"));
    EXPECT_EQ(std::vector<std::string>(2, "UPDATE|Can't Find File in Resource !!"), ShownMessages);
    // Closing forgets the record.
    CloseArchive();
    EXPECT_EQ(0, PayloadIntegrity.covered);
}

TEST_F(IntegrityTest, DamagedEntriesAreRefusedBeforeAnythingIsWrittenOrReturned) {
    // One flipped bit in the stored bytes of each entry: the raw one decodes to other bytes,
    // the compressed one to other bytes or not at all; both are named.
    const struct {
        int entry;
        const char* name;
        size_t at;
    } cases[] = {{0, "RAW.DAT", 1234}, {1, "PACKED.DAT", 100}, {2, "TEXT.TXT", 3}};
    for (const auto& c : cases) {
        std::vector<uint8_t> image = Image(files, true);
        image[StoredAt(image, c.entry) + c.at] ^= 0x10;
        ASSERT_EQ(1, LoadPayload(image)) << c.name;
        ASSERT_EQ(1, CheckPayloadIntegrity()) << "the index is whole";
        ShownMessages.clear();

        // A read-only target stays as it was: bytes and attributes.
        const std::string target = folder.File(c.name);
        WriteBytes(target, {'o', 'l', 'd'});
        SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_READONLY);
        const DWORD attributes = GetFileAttributesA(target.c_str());
        ASSERT_NE(0u, attributes & FILE_ATTRIBUTE_READONLY);
        EXPECT_EQ(0, ExtractEntry(c.name, target.c_str(), 0)) << c.name;
        EXPECT_EQ(std::vector<uint8_t>({'o', 'l', 'd'}), ReadBytes(target)) << c.name;
        EXPECT_EQ(attributes, GetFileAttributesA(target.c_str())) << c.name;
        EXPECT_EQ(0, ExtractEntry(c.name, folder.File("NEW.DAT").c_str(), 0));
        EXPECT_EQ(std::vector<std::string>({c.name}), folder.Names()) << "no new or temporary file";

        // FindEntryData and VerifyEntry refuse it too; VerifyEntry keeps nothing either way.
        RealGlobalAlloc = DirectOps.GlobalAlloc;
        RealGlobalFree = DirectOps.GlobalFree;
        DirectOps.GlobalAlloc = CountingAlloc;
        DirectOps.GlobalFree = CountingFree;
        Allocations = 0;
        EXPECT_EQ(nullptr, FindEntryData(c.name, nullptr)) << c.name;
        EXPECT_EQ(0, VerifyEntry(c.name)) << c.name;
        EXPECT_EQ(0, Allocations) << c.name;
        for (const auto& other : cases) {
            if (other.entry != c.entry) {
                EXPECT_EQ(1, VerifyEntry(other.name)) << other.name;
            }
        }
        EXPECT_EQ(0, Allocations);
        DirectOps.GlobalAlloc = RealGlobalAlloc;
        DirectOps.GlobalFree = RealGlobalFree;

        EXPECT_EQ(std::vector<std::string>(4, Damaged(c.name)), ShownMessages);
        ShownMessages.clear();
        SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL);
        ScratchFolder::RemoveContents(folder.path);
    }
}

TEST_F(IntegrityTest, PayloadWithoutTheRecordRunsAsBefore) {
    // The same flipped bit in a payload without hashes is written without a word, as it
    // always was.
    std::vector<uint8_t> image = Image(files, false);
    image[StoredAt(image, 0) + 1234] ^= 0x10;
    ASSERT_EQ(1, LoadPayload(image));
    ASSERT_EQ(1, CheckPayloadIntegrity());
    EXPECT_EQ(0, PayloadIntegrity.covered);
    ASSERT_EQ(1, ExtractEntry("RAW.DAT", folder.File("RAW.DAT").c_str(), 0));
    std::vector<uint8_t> expect = files.raw;
    expect[1234] ^= 0x10;
    EXPECT_TRUE(expect == ReadBytes(folder.File("RAW.DAT")));
    EXPECT_EQ(1, VerifyEntry("RAW.DAT"));
    EXPECT_NE(nullptr, FindEntryData("TEXT.TXT", nullptr));
    EXPECT_TRUE(ShownMessages.empty());
}

TEST_F(IntegrityTest, DamagedIndexRecordOrUnknownFeatureStopsAtOpen) {
    const std::string broken = "UPDATE|アップデートデータのファイル一覧が壊れています";
    // An index stored as is: a flipped bit of a time stamp still opens.
    std::vector<uint8_t> index = Image(files, true, 0);
    index[LoadLE32(index.data() + kHeaderIndexOffsetOffset) + kEntryTimeOffset] ^= 0x01;
    // The record's own bytes.
    std::vector<uint8_t> record = Image(files, true, 0);
    record[StoredAt(record, 3) + 50] ^= 0x01;
    // The record's name in the index: found by its bytes all the same.
    std::vector<uint8_t> renamed = Image(files, true, 0);
    renamed[LoadLE32(renamed.data() + kHeaderIndexOffsetOffset) + 3 * kArchiveEntrySize + 1] ^= 1;
    const struct {
        const char* what;
        std::vector<uint8_t> image;
        std::string message;
    } cases[] = {
        {"index", index, broken},
        {"record", record, broken},
        {"record's name", renamed, broken},
        {"unknown feature", Image(files, true, 3, 0x00000100),
         "UPDATE|このアップデートプログラムでは扱えない形式のアップデートデータです（00000100）"},
    };
    for (const auto& c : cases) {
        ShownMessages.clear();
        ASSERT_EQ(1, LoadPayload(c.image)) << c.what;
        EXPECT_EQ(0, CheckPayloadIntegrity()) << c.what;
        EXPECT_EQ(0, PayloadIntegrity.covered) << c.what;
        EXPECT_EQ(std::vector<std::string>({c.message}), ShownMessages) << c.what;
    }
    // Features this updater knows are no obstacle.
    for (const uint32_t known :
         {(uint32_t)PAYLOAD_FEATURE_INTEGRITY, (uint32_t)PAYLOAD_FEATURE_MODELED_DELTAS}) {
        ShownMessages.clear();
        ASSERT_EQ(1, LoadPayload(Image(files, true, 3, known))) << known;
        EXPECT_EQ(1, CheckPayloadIntegrity()) << known;
        EXPECT_TRUE(ShownMessages.empty()) << known;
    }
}

} // namespace
