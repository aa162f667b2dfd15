// verify's checks of deltas on payloads made by hand (what pack never writes, another writer or
// damage might), and where an item's file lies in an older release.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "archive/delta_apply.h"
#include "archive/payload_deltas.h"
#include "archive/payload_features.h"
#include "mkupdate/inspect.h"
#include "mkupdate/pack_deltas.h"
#include "payload/archive_writer.h"
#include "payload/delta_encode.h"
#include "tools/tool_test_support.h"

namespace {

const std::string kIni = "[SETUP]\r\n[UPDATE]\r\nUpdateFile00=u,A.DAT\r\n";

std::vector<uint8_t> Pattern(size_t size, unsigned salt) {
    std::vector<uint8_t> v(size);
    for (size_t i = 0; i < size; ++i)
        v[i] = (uint8_t)((i * 31 + i / 97 + salt * (i % 101 == 0)) & 0xFF);
    return v;
}

struct Delta {
    std::string name;
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> base; // what the descriptor says it is made from
    std::vector<uint8_t> result;
    uint64_t baseSize; // as the descriptor says
};

// UPDATE.INI, A.DAT whole when given, then the deltas, each with a descriptor unless
// described is false; modeled deltas announced, as pack does, unless announced is false.
std::vector<uint8_t> Build(const std::vector<uint8_t>* whole, const std::vector<Delta>& deltas,
                           bool described = true, bool announced = true) {
    std::vector<ArchiveInput> entries = {
        {"UPDATE.INI", (const uint8_t*)kIni.data(), kIni.size(), 0, true, true}};
    if (whole)
        entries.push_back(ArchiveInput{"A.DAT", whole->data(), whole->size(), 0, true, true});
    std::vector<uint8_t> descriptors;
    for (const Delta& d : deltas) {
        uint8_t baseDigest[kSha256Size], resultDigest[kSha256Size];
        Sha256(d.base.data(), d.base.size(), baseDigest);
        Sha256(d.result.data(), d.result.size(), resultDigest);
        const PayloadDelta descriptor{
            (uint32_t)entries.size(), "A.DAT",     0, d.baseSize, baseDigest,
            d.result.size(),          resultDigest};
        descriptors.resize(descriptors.size() + kDeltaDescriptorSize);
        WriteDeltaDescriptor(descriptor,
                             descriptors.data() + descriptors.size() - kDeltaDescriptorSize);
        entries.push_back(ArchiveInput{d.name, d.bytes.data(), d.bytes.size(), 0, true, true});
    }
    ArchiveOptions options{3, kCompressFast, true};
    options.integrity = true;
    for (const Delta& d : deltas) {
        DeltaInfo info;
        if (announced && ReadDeltaInfo(d.bytes.data(), d.bytes.size(), &info) == kDeltaOk &&
            info.flags)
            options.requiredFeatures |= PAYLOAD_FEATURE_MODELED_DELTAS;
    }
    if (described)
        options.deltaDescriptors = descriptors;
    std::vector<uint8_t> image;
    std::string error;
    EXPECT_EQ(1, BuildArchiveWith(entries, options, &image, &error)) << error;
    return image;
}

std::vector<std::string> Problems(const std::vector<uint8_t>& image) {
    std::vector<std::string> problems;
    VerifyPayload(image, &problems);
    return problems;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string all;
    for (const std::string& l : lines)
        all += l + "\n";
    return all;
}

TEST(MkupdateDeltaChecks, VerifyHoldsDeltasToTheirDescriptors) {
    const std::vector<uint8_t> base = Pattern(5000, 1), result = Pattern(5200, 2),
                               other = Pattern(5000, 3);
    std::vector<uint8_t> delta;
    ASSERT_EQ(1, EncodeDelta(base.data(), base.size(), result.data(), result.size(), &delta));
    std::vector<uint8_t> fromOther;
    ASSERT_EQ(1, EncodeDelta(other.data(), other.size(), result.data(), result.size(), &fromOther));
    const Delta good{"<QV2|DELTA|0>", delta, base, result, base.size()};
    DeltaInfo info;
    ASSERT_EQ(kDeltaOk, ReadDeltaInfo(delta.data(), delta.size(), &info));
    ASSERT_NE(0u, info.flags) << "the unannounced case needs a modeled delta";
    EXPECT_EQ("", Joined(Problems(Build(nullptr, {good}))));
    EXPECT_EQ("", Joined(Problems(Build(&result, {good})))) << "with a whole copy beside";

    struct Case {
        const char* what;
        std::vector<uint8_t> image;
        const char* expect;
    };
    Delta wrongSize = good;
    wrongSize.baseSize = base.size() + 1;
    Delta noDelta = good;
    noDelta.bytes = other;
    Delta second{"<QV2|DELTA|1>", fromOther, base, result, base.size()};
    const std::vector<uint8_t> otherResult = Pattern(5200, 4);
    const Case cases[] = {
        {"a descriptor whose base size is not the delta's", Build(nullptr, {wrongSize}),
         "entry <QV2|DELTA|0> (delta of A.DAT): the delta is from a base of 5000 bytes to 5200 "
         "bytes, its descriptor says 5001 bytes to 5200 bytes"},
        {"bytes that are no delta", Build(nullptr, {noDelta}),
         "entry <QV2|DELTA|0> (delta of A.DAT): its bytes are no delta"},
        {"two deltas from one base", Build(nullptr, {good, second}),
         "entry <QV2|DELTA|1> (delta of A.DAT): <QV2|DELTA|0> rebuilds it from the same base"},
        {"a whole copy of other bytes", Build(&otherResult, {good}),
         "entry <QV2|DELTA|0> (delta of A.DAT): its result differs from the whole entry A.DAT"},
        {"a delta entry nothing describes", Build(nullptr, {good}, false),
         "entry <QV2|DELTA|0>: named as a delta, but no delta descriptor names it"},
        {"a modeled delta the payload does not require", Build(nullptr, {good}, true, false),
         "entry <QV2|DELTA|0> (delta of A.DAT): the delta carries header flags (modeled "
         "streams), but the payload does not require modeled deltas"},
    };
    for (const Case& c : cases) {
        const std::string problems = Joined(Problems(c.image));
        EXPECT_NE(std::string::npos, problems.find(c.expect)) << c.what << ":\n" << problems;
    }

    // Without any integrity record, an entry of a delta's name is no delta either.
    std::vector<uint8_t> plain;
    std::string error;
    ASSERT_EQ(
        1, BuildArchive(
               {ArchiveInput{"UPDATE.INI", (const uint8_t*)kIni.data(), kIni.size(), 0, true, true},
                ArchiveInput{"<QV2|DELTA|0>", delta.data(), delta.size(), 0, true, true}},
               3, &plain, &error));
    EXPECT_NE(std::string::npos, Joined(Problems(plain)).find("no delta descriptor names it"));
}

TEST(MkupdateBaseFiles, ItemPathsUnderAnInstalledFolder) {
    TempFolder t;
    namespace fs = std::filesystem;
    WriteFile(t.path / "game" / "Data" / "big.dat", "x");
    WriteFile(t.path / "game" / "TWO.DAT", "x");
    WriteFile(t.path / "game" / "two.dat", "y");
    WriteFile(t.path / "\xE7\x94\xBB" / "A.DAT", "x"); // 画, 89 E6 in CP932
    struct Case {
        const char* dataFolder;
        const char* path;
        int ok;
        fs::path expect; // under t.path
    } cases[] = {
        {"game", "Data\\big.dat", 1, "game/Data/big.dat"},
        {"GAME", "data\\BIG.DAT", 1, "game/Data/big.dat"}, // as Windows finds it
        {"", "game/data\\.\\big.dat", 1, "game/Data/big.dat"},
        {"\\game\\", "\\data\\big.dat", 1, "game/Data/big.dat"},
        {"game", "two.dat", 1, "game/two.dat"},
        {"game", "Two.dat", 1, "game/Two.dat"}, // two names fit: neither is taken
        {"", "\x89\xE6\\A.DAT", 1, "\xE7\x94\xBB/A.DAT"},
        {"game", "..\\secret", 0, ""},
        {"..", "big.dat", 0, ""},
        {"game", "data\\. .\\x", 0, ""},
        {"", "", 0, ""},
        {"", "\x81", 0, ""}, // a lead byte without its trail: no CP932
    };
    for (const Case& c : cases) {
        fs::path file;
        EXPECT_EQ(c.ok, InstalledFile(t.path, c.dataFolder, c.path, &file)) << c.path;
        if (c.ok) {
            EXPECT_EQ(t.path / fs::u8path(c.expect.string()), file) << c.path;
        }
    }
}

} // namespace
