// The payload's integrity data as the publisher meets it: pack writes it, list and verify tell
// it, verify and extract hold entries to it, build holds the stub to its features.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>
#include <vector>

#include "archive/archive_format.h"
#include "archive/archive_index.h"
#include "archive/payload_integrity.h"
#include "mkupdate/build.h"
#include "mkupdate/inspect.h"
#include "payload/archive_writer.h"
#include "tools/tool_test_support.h"

#ifndef FIXTURE_RSRC_LAST
#error the build passes the fixture paths
#endif

namespace {

namespace fs = std::filesystem;

void* Alloc(size_t size) {
    return malloc(size ? size : 1);
}
void Free(void* p) {
    free(p);
}

// UPDATE.INI, a compressible file, a file too small to compress (stored as is, scrambled).
void MakeSmallPatch(const fs::path& dir) {
    WriteFile(dir / "UPDATE.INI", "[SETUP]\r\nCompanyName=Maker\r\nGameTitle=Game\r\n"
                                  "GameClass=GameWnd\r\nGameDir=GameDir\r\n[UPDATE]\r\n"
                                  "UpdateFile00=u,GAME.DAT\r\nUpdateFile01=u,TINY.DAT\r\n");
    std::string game;
    for (int i = 0; i < 40; ++i)
        game += "record " + std::to_string(i % 7) + ";";
    WriteFile(dir / "GAME.DAT", game);
    WriteFile(dir / "TINY.DAT", "x7");
}

std::vector<uint8_t> Bytes(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

// The payload mkupdate pack makes of the folder.
std::vector<uint8_t> Packed(const fs::path& dir) {
    const fs::path out = dir.parent_path() / "packed.qv2";
    EXPECT_EQ(0, RunTool({"pack", dir.string(), "-o", out.string()}).status);
    return Bytes(ReadFile(out));
}

// Where the named entry's stored bytes begin in the image.
uint32_t StoredOffset(const std::vector<uint8_t>& image, const char* name) {
    uint8_t* index = OpenArchiveImage(image.data(), (uint32_t)image.size(), Alloc, Free);
    EXPECT_NE(nullptr, index);
    uint32_t offset = 0;
    const uint8_t* rec =
        index ? LookupEntry(
                    index, name, [](const char* a, const char* b) { return strcasecmp(a, b); },
                    &offset)
              : nullptr;
    EXPECT_NE(nullptr, rec) << name;
    free(index);
    return offset;
}

TEST(MkupdateIntegrity, PackCoversThePayloadAndListAndVerifySayIt) {
    TempFolder t;
    MakeSmallPatch(t.path / "patch");
    const fs::path payload = t.path / "p.qv2";
    ASSERT_EQ(0, RunTool({"pack", (t.path / "patch").string(), "-o", payload.string()}).status);
    RunResult list = RunTool({"list", payload.string()});
    ASSERT_EQ(0, list.status) << list.err;
    EXPECT_NE(std::string::npos, list.out.find("integrity: covered")) << list.out;
    EXPECT_NE(std::string::npos, list.out.find("each of 3 entries")) << list.out;
    EXPECT_EQ(std::string::npos, list.out.find(kIntegrityEntryName)) << "no game file";
    RunResult verify = RunTool({"verify", payload.string()});
    EXPECT_EQ(0, verify.status) << verify.err;
    EXPECT_NE(std::string::npos, verify.out.find("integrity: covered")) << verify.out;

    // Extracting everything writes the game's files and never the record.
    ASSERT_EQ(0, RunTool({"extract", payload.string(), "-d", (t.path / "out").string()}).status);
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(t.path / "out"))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(std::vector<std::string>({"GAME.DAT", "TINY.DAT", "UPDATE.INI"}), names);
    RunResult named =
        RunTool({"extract", payload.string(), "-d", (t.path / "rec").string(), "<qv2|integrity>"});
    EXPECT_NE(0, named.status);
    EXPECT_NE(std::string::npos, named.err.find("no entry named")) << named.err;
    EXPECT_FALSE(fs::exists(t.path / "rec"));

    // A payload made without the record is told as not covered and still verifies.
    const std::string ini = ReadFile(t.path / "patch" / "UPDATE.INI");
    std::vector<uint8_t> plain;
    std::string error;
    ASSERT_EQ(1, BuildArchive({ArchiveInput{"UPDATE.INI", (const uint8_t*)ini.data(), ini.size(), 0,
                                            true, true}},
                              kIndexCompressed | kIndexScrambled, &plain, &error));
    WriteFile(t.path / "plain.qv2", std::string(plain.begin(), plain.end()));
    list = RunTool({"list", (t.path / "plain.qv2").string()});
    EXPECT_NE(std::string::npos, list.out.find("integrity: not covered")) << list.out;
    verify = RunTool({"verify", (t.path / "plain.qv2").string()});
    EXPECT_EQ(0, verify.status) << verify.err;
    EXPECT_NE(std::string::npos, verify.out.find("integrity: not covered")) << verify.out;
}

TEST(MkupdateIntegrity, VerifyAndExtractHoldEntriesToTheirHashes) {
    TempFolder t;
    MakeSmallPatch(t.path / "patch");
    std::vector<uint8_t> image = Packed(t.path / "patch");
    std::string error;
    // TINY.DAT is stored as is: a flipped bit still decodes, to other bytes.
    image[StoredOffset(image, "TINY.DAT")] ^= 0x04;
    std::vector<std::string> problems;
    EXPECT_EQ(0, VerifyPayload(image, &problems));
    int named = 0;
    for (const std::string& p : problems)
        named += p.find("entry TINY.DAT: its bytes do not match their hash") != std::string::npos;
    EXPECT_EQ(1, named) << (problems.empty() ? "" : problems[0]);

    // extract writes the entries before it and nothing for the damaged one.
    std::vector<uint8_t> copy = image;
    EXPECT_EQ(0, ExtractPayload(copy, t.path / "out", {}, &error));
    EXPECT_NE(std::string::npos, error.find("TINY.DAT")) << error;
    EXPECT_TRUE(fs::exists(t.path / "out" / "GAME.DAT"));
    EXPECT_FALSE(fs::exists(t.path / "out" / "TINY.DAT"));
    copy = image;
    EXPECT_EQ(1, ExtractPayload(copy, t.path / "one", {"update.ini"}, &error)) << error;

    // A damaged record: extract refuses before writing anything.
    std::vector<uint8_t> badRecord = Packed(t.path / "patch");
    badRecord[StoredOffset(badRecord, kIntegrityEntryName) + 40] ^= 1;
    EXPECT_EQ(0, VerifyPayload(badRecord, &problems));
    EXPECT_EQ("the integrity record is damaged", problems.at(0));
    EXPECT_EQ(0, ExtractPayload(badRecord, t.path / "none", {}, &error));
    EXPECT_NE(std::string::npos, error.find("integrity record is damaged")) << error;
    EXPECT_FALSE(fs::exists(t.path / "none"));
}

TEST(MkupdateIntegrity, EveryFlippedBitIsRefusedAtOpenOrFoundByVerify) {
    TempFolder t;
    MakeSmallPatch(t.path / "patch");
    const std::vector<uint8_t> image = Packed(t.path / "patch");
    std::vector<std::string> problems;
    ASSERT_EQ(1, VerifyPayload(image, &problems));
    int refused = 0, found = 0, missed = 0;
    for (size_t bit = 0; bit < image.size() * 8; ++bit) {
        std::vector<uint8_t> bad = image;
        bad[bit / 8] ^= (uint8_t)(1u << (bit % 8));
        uint8_t* index = OpenArchiveImage(bad.data(), (uint32_t)bad.size(), Alloc, Free);
        // The magic is not read when opening, but mkupdate refuses a file without it.
        if (!index || memcmp(bad.data(), "QV2", 4) != 0) {
            ++refused;
        } else if (!VerifyPayload(bad, &problems)) {
            ++found;
        } else {
            ++missed;
            ADD_FAILURE() << "bit " << bit << " passes unnoticed; " << DescribeCoverage(bad);
        }
        free(index);
    }
    printf("%zu bits of a %zu-byte payload: %d refused at open, %d found by verify, %d missed\n",
           image.size() * 8, image.size(), refused, found, missed);
    EXPECT_EQ(0, missed);
}

TEST(MkupdateIntegrity, BuildRefusesAStubThatLacksARequiredFeature) {
    TempFolder t;
    const std::string ini = "[SETUP]\r\n";
    const auto payload = [&](uint32_t required) {
        ArchiveOptions options{kIndexCompressed | kIndexScrambled, kCompressFast, true};
        options.integrity = true;
        options.requiredFeatures = required;
        std::vector<uint8_t> image;
        std::string error;
        EXPECT_EQ(1, BuildArchiveWith({ArchiveInput{"UPDATE.INI", (const uint8_t*)ini.data(),
                                                    ini.size(), 0, true, true}},
                                      options, &image, &error));
        return image;
    };
    uint32_t features = 99;
    std::string error;
    ASSERT_EQ(1, PayloadRequiredFeatures(payload(PAYLOAD_FEATURE_INTEGRITY), &features, &error));
    EXPECT_EQ((uint32_t)PAYLOAD_FEATURE_INTEGRITY, features);

    // The fixture declares nothing, so it reads no feature: today's payloads, which require
    // none, still go in; one that requires a feature is refused and nothing is written.
    const fs::path out = t.path / "U.exe";
    EXPECT_EQ(1, EmbedPayload(FIXTURE_RSRC_LAST, payload(0), out, &error)) << error;
    fs::remove(out);
    EXPECT_EQ(0, EmbedPayload(FIXTURE_RSRC_LAST, payload(PAYLOAD_FEATURE_INTEGRITY), out, &error));
    EXPECT_NE(std::string::npos, error.find("requires features 0x00000001")) << error;
    EXPECT_NE(std::string::npos, error.find("reads only 0x00000000")) << error;
    EXPECT_FALSE(fs::exists(out));

    // The declaration as the updater carries it, and malformed.
    std::vector<Resource> resources(1);
    resources[0].type = ResourceName("PAYLOADFEATURES");
    resources[0].name = ResourceId(PAYLOAD_FEATURES_RESOURCE_ID);
    resources[0].data = Bytes(std::string("QVFT\x05\0\0\0", 8));
    ASSERT_EQ(1, StubPayloadFeatures(resources, &features, &error));
    EXPECT_EQ(5u, features);
    resources[0].data = Bytes("QVF");
    EXPECT_EQ(0, StubPayloadFeatures(resources, &features, &error));
    EXPECT_NE(std::string::npos, error.find("malformed")) << error;
}

} // namespace
