// The real UPDATE.exe on payloads with integrity data: one flipped bit in the index or in an
// entry it reads at start is refused before anything is written, with exit code 0.
#include <stdlib.h>

#include <map>
#include <string>
#include <vector>

#include "archive/archive_index.h"
#include "archive/payload_integrity.h"
#include "e2e/e2e_fixture.h"
#include "payload/archive_writer.h"

namespace {

void* Alloc(size_t size) {
    return malloc(size ? size : 1);
}
void Free(void* p) {
    free(p);
}

// As mkupdate pack makes it: entries compressed and scrambled, the index too, the record last.
std::vector<uint8_t> CoveredPayload(const std::vector<PayloadFile>& files) {
    std::vector<ArchiveInput> entries;
    for (const PayloadFile& f : files)
        entries.push_back(ArchiveInput{f.name, (const uint8_t*)f.bytes.data(), f.bytes.size(),
                                       0x01D9000000000000ull, true, true});
    ArchiveOptions options{kIndexCompressed | kIndexScrambled, kCompressFast, true};
    options.integrity = true;
    std::vector<uint8_t> image;
    std::string error;
    EXPECT_EQ(1, BuildArchiveWith(entries, options, &image, &error)) << error;
    return image;
}

// The first bit of the compressed, scrambled index whose flip still opens, to an index that
// no longer matches its hash; -1 when there is none.
long IndexBitThatStillOpens(const std::vector<uint8_t>& image) {
    const uint32_t indexOffset = LoadLE32(image.data() + kHeaderIndexOffsetOffset);
    for (size_t bit = (size_t)indexOffset * 8; bit < image.size() * 8; ++bit) {
        std::vector<uint8_t> bad = image;
        bad[bit / 8] ^= (uint8_t)(1u << (bit % 8));
        uint8_t* index = OpenArchiveImage(bad.data(), (uint32_t)bad.size(), Alloc, Free);
        if (!index)
            continue;
        uint32_t offset;
        const uint8_t* entry = FindIntegrityEntry(index, bad.data(), &offset);
        IntegrityRecord r;
        const bool damaged =
            entry && CheckIndexIntegrity(index, bad.data() + offset, EntryDecodedSize(entry), &r) ==
                         kIntegrityIndexDamaged;
        free(index);
        if (damaged)
            return (long)bit;
    }
    return -1;
}

class IntegrityE2ETest : public UpdaterRunTest {
  protected:
    // Every file of the install folder with its bytes.
    std::map<std::string, std::vector<uint8_t>> Installed() {
        std::map<std::string, std::vector<uint8_t>> files;
        WIN32_FIND_DATAA found;
        HANDLE h = FindFirstFileA((install + "\\*").c_str(), &found);
        if (h == INVALID_HANDLE_VALUE)
            return files;
        do {
            const std::string name = found.cFileName;
            if (name != "." && name != "..")
                files[name] = ReadBytes(InstallFile(name));
        } while (FindNextFileA(h, &found));
        FindClose(h);
        return files;
    }

    // Runs UPDATE.exe on payload, answering each box with OK; the boxes it showed.
    std::vector<std::string> RefusedAtStart(const std::vector<uint8_t>& payload, size_t boxes) {
        const auto before = Installed();
        Transcript t =
            RunExe(MakeUpdater(folder.path, &payload), std::vector<std::string>(boxes, "OK"));
        EXPECT_EQ(0u, t.exitCode);
        EXPECT_TRUE(before == Installed()) << "the install folder changed";
        return Boxes(t);
    }

    std::vector<PayloadFile> Files() {
        return {{"UPDATE.INI", UpdateIniSetup("AgreementText=LICENSE.TXT\r\n")},
                {"LICENSE.TXT", "使用許諾契約書\r\n第一条 ……\r\n"},
                {"GAME.DAT", std::string(3000, 'g')}};
    }
};

TEST_F(IntegrityE2ETest, CoveredPayloadReachesTheDialog) {
    WriteBytes(InstallFile("GAME.DAT"), Bytes("old game"));
    const std::vector<uint8_t> payload = CoveredPayload(Files());
    Transcript t = RunExe(MakeUpdater(folder.path, &payload), {"Cancel", "OK"});
    std::vector<std::string> boxes = Boxes(t);
    ASSERT_EQ(2u, boxes.size()) << t.Text();
    EXPECT_EQ(kE2ECaption, t.windows[0].caption) << "the dialog";
    const ControlRecord* licence = t.windows[0].Control(1000);
    ASSERT_NE(nullptr, licence) << t.Text();
    EXPECT_NE(std::string::npos, licence->text.find("使用許諾契約書")) << t.Text();
    EXPECT_EQ(0u, t.exitCode);
}

TEST_F(IntegrityE2ETest, OneFlippedBitOfTheIndexIsRefusedAtStart) {
    WriteBytes(InstallFile("GAME.DAT"), Bytes("old game"));
    std::vector<uint8_t> payload = CoveredPayload(Files());
    const long bit = IndexBitThatStillOpens(payload);
    ASSERT_GE(bit, 0);
    payload[(size_t)bit / 8] ^= (uint8_t)(1u << (bit % 8));
    EXPECT_EQ(std::vector<std::string>({"UPDATE|アップデートデータのファイル一覧が壊れています"}),
              RefusedAtStart(payload, 1));
}

TEST_F(IntegrityE2ETest, OneFlippedBitOfUpdateIniOrOfTheLicenceIsRefusedBeforeUse) {
    WriteBytes(InstallFile("GAME.DAT"), Bytes("old game"));
    // UPDATE.INI is the first entry: its stored bytes begin right after the header.
    std::vector<uint8_t> payload = CoveredPayload(Files());
    payload[kArchiveHeaderSize + 9] ^= 0x20;
    EXPECT_EQ(std::vector<std::string>({"UPDATE|アップデートデータが壊れています（UPDATE.INI）"}),
              RefusedAtStart(payload, 1));

    // The licence is checked before it is shown: its box, then the usual one for a text that
    // cannot be had.
    payload = CoveredPayload(Files());
    uint8_t* index = OpenArchiveImage(payload.data(), (uint32_t)payload.size(), Alloc, Free);
    ASSERT_NE(nullptr, index);
    uint32_t offset = 0;
    ASSERT_NE(nullptr, LookupEntry(
                           index, "LICENSE.TXT",
                           [](const char* a, const char* b) { return lstrcmpiA(a, b); }, &offset));
    free(index);
    payload[offset + 5] ^= 0x01;
    EXPECT_EQ(std::vector<std::string>({"UPDATE|アップデートデータが壊れています（LICENSE.TXT）",
                                        "UPDATE|'LICENSE.TXT' not found at UPDATE.QV3"}),
              RefusedAtStart(payload, 2));
}

} // namespace
