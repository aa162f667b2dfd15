// The real UPDATE.exe carrying the sample patch as deltas from two older releases of the sample
// game (made by mkupdate pack --base): each release is brought to the new files by the one
// payload; an installation of another version and a damaged delta are refused before anything
// is written.
#include <stdlib.h>

#include <string>
#include <vector>

#include "archive/archive_index.h"
#include "archive/payload_deltas.h"
#include "e2e/e2e_fixture.h"
#include "win/tree_snapshot.h"

namespace {

const uint64_t kReleaseTime = 0x01D6000000000000ull; // in 2020, before the patch's files
const char kCaption[] = "サンプルゲーム アップデータ 1.01";

std::string FromEnvironment(const char* name) {
    const char* value = getenv(name);
    return value ? WindowsPath(value) : std::string();
}

std::vector<std::string> Releases(const std::string& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((folder + "\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return names;
    do {
        if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && fd.cFileName[0] != '.')
            names.push_back(fd.cFileName);
    } while (FindNextFileA(h, &fd));
    FindClose(h);
    return names;
}

class DeltaE2ETest : public UpdaterRunTest {
  protected:
    void SetUp() override {
        UpdaterRunTest::SetUp();
        DeleteInstallKey(kE2ECompany, kE2EGameDir);
        examples = FromEnvironment("QV_SAMPLE_DIR");
        const std::string payloadPath = FromEnvironment("QV_DELTA_PAYLOAD");
        ASSERT_FALSE(examples.empty() || payloadPath.empty())
            << "QV_SAMPLE_DIR and QV_DELTA_PAYLOAD name the examples and the delta payload";
        payload = ReadBytes(payloadPath);
        ASSERT_FALSE(payload.empty()) << payloadPath;
        releases = Releases(examples + "\\sample-releases");
        ASSERT_GE(releases.size(), 2u);
        InstallKey sample;
        sample.company = "SampleSoft";
        sample.gameDir = "SampleGame";
        sample.instPath = install;
        sample.dataPath = install + "\\SAVE";
        sample.instMode = 1;
        WriteInstallKey(sample);
        // Disc 1 of the sample game in drive E:.
        const char* prefix = getenv("WINEPREFIX");
        ASSERT_TRUE(prefix && GetDriveTypeA("E:\\") == DRIVE_CDROM) << "no CD-ROM drive E:";
        disc = WindowsPath(std::string(prefix) + "-cdrom-e");
        ScratchFolder::RemoveContents(disc);
        CopyTree(examples + "\\sample-disc", disc, 0);
    }
    void TearDown() override {
        ScratchFolder::RemoveContents(disc);
        DeleteInstallKey("SampleSoft", "SampleGame");
    }
    void Install(const std::string& release) {
        ScratchFolder::RemoveContents(install);
        CopyTree(examples + "\\sample-releases\\" + release, install, kReleaseTime);
    }
    std::string Patched(const std::string& path) const {
        const std::vector<uint8_t> b = ReadBytes(examples + "\\sample-delta-patch\\" + path);
        return std::string(b.begin(), b.end());
    }
    std::string Installed(const std::string& path) const {
        const std::vector<uint8_t> b = ReadBytes(install + "\\" + path);
        return std::string(b.begin(), b.end());
    }
    Transcript Update(const std::vector<uint8_t>& image, bool completes) {
        const std::string exe = MakeUpdater(folder.path, &image);
        // The notice, the licence (agreed to), the confirm page, then the end of the run.
        std::vector<std::string> script = {"OK", "click:1002", "click:1", "click:1"};
        script.push_back(completes ? "click:1" : "OK");
        return RunExe(exe, script);
    }
    void ExpectRefused(const Transcript& t, const TreeSnapshot& before,
                       const std::string& message) {
        const std::vector<std::string> boxes = Boxes(t);
        ASSERT_GE(boxes.size(), 2u) << t.Text();
        EXPECT_EQ(std::string(kCaption) + "|" + message, boxes[boxes.size() - 2]) << t.Text();
        EXPECT_EQ(std::string(kCaption) + "|アップデートが中断されました", boxes.back());
        const std::vector<std::string> differences =
            CompareSnapshots(before, TakeSnapshot(install));
        EXPECT_TRUE(differences.empty()) << differences[0];
        EXPECT_TRUE(RunLeftovers(install).empty());
    }

    std::string examples, disc;
    std::vector<uint8_t> payload;
    std::vector<std::string> releases;
};

TEST_F(DeltaE2ETest, OneUpdaterBringsEachOlderReleaseToTheNewFiles) {
    for (const std::string& release : releases) {
        Install(release);
        const std::string config = Installed("SAVE\\CONFIG.DAT");
        const bool hadExtra = !Installed("EXTRA.DAT").empty();
        Transcript t = Update(payload, true);
        EXPECT_EQ(1u, t.exitCode) << release << ": " << t.Text();
        EXPECT_TRUE(Installed("GAME.EXE") == Patched("GAME.EXE")) << release;
        EXPECT_TRUE(Installed("data\\EVENT.DAT") == Patched("data\\EVENT.DAT")) << release;
        EXPECT_TRUE(Installed("data\\SCENARIO.DAT") == Patched("data\\SCENARIO.DAT")) << release;
        EXPECT_TRUE(Installed("OPTION.DAT") == Patched("OPTION.DAT")) << release;
        EXPECT_EQ(hadExtra, Installed("EXTRA.DAT") == Patched("EXTRA.DAT")) << release;
        EXPECT_EQ(config, Installed("SAVE\\CONFIG.DAT")) << release << ": the player's file";
        EXPECT_FALSE(Installed("movie\\OP.MPG").empty()) << release << ": the disc copy";
        EXPECT_TRUE(RunLeftovers(install).empty()) << release;
    }
}

TEST_F(DeltaE2ETest, AnInstallationOfAnotherVersionIsRefusedBeforeAnyWrite) {
    Install(releases[0]);
    // The event script travels only as deltas (the small files travel whole, their deltas being
    // no smaller).
    std::vector<uint8_t> script = ReadBytes(install + "\\data\\EVENT.DAT");
    ASSERT_FALSE(script.empty());
    script[script.size() / 2] ^= 0x01;
    WriteBytes(install + "\\data\\EVENT.DAT", script);
    SetWriteTime(install + "\\data\\EVENT.DAT", kReleaseTime);
    const TreeSnapshot before = TakeSnapshot(install);
    Transcript t = Update(payload, false);
    ExpectRefused(t, before,
                  "アップデートエラー：「" + install +
                      "\\data\\EVENT.DAT」がアップデート対象のバージョンと違います");
}

TEST_F(DeltaE2ETest, ADamagedDeltaIsRefusedBeforeAnyWrite) {
    // A changed byte in the middle of every delta entry's stored bytes, so that the one the
    // installed release takes (one delta per release) is damaged.
    std::vector<uint8_t> image = payload;
    uint8_t* index = OpenArchiveImage(image.data(), (uint32_t)image.size(), malloc, free);
    ASSERT_TRUE(index);
    std::vector<uint32_t> damagedAt;
    for (uint32_t i = 0; i < IndexEntryCount(index); ++i) {
        uint32_t offset;
        const uint8_t* rec = EntryAtPosition(index, i, &offset);
        if (IsDeltaEntryName(EntryName(rec)))
            damagedAt.push_back(offset + EntryStoredSize(rec) / 2);
    }
    free(index);
    ASSERT_FALSE(damagedAt.empty()) << "the payload carries deltas";
    for (uint32_t at : damagedAt)
        image[at] ^= 0x20;
    Install(releases[0]);
    const TreeSnapshot before = TakeSnapshot(install);
    Transcript t = Update(image, false);
    const std::vector<std::string> boxes = Boxes(t);
    ASSERT_GE(boxes.size(), 3u) << t.Text();
    EXPECT_EQ(0u, boxes[boxes.size() - 3].find(std::string(kCaption) +
                                               "|アップデートデータが壊れています（"))
        << boxes[boxes.size() - 3];
    EXPECT_EQ(std::string(kCaption) + "|ファイルの書き込みに失敗しました", boxes[boxes.size() - 2]);
    EXPECT_EQ(std::string(kCaption) + "|アップデートが中断されました", boxes.back());
    const std::vector<std::string> differences = CompareSnapshots(before, TakeSnapshot(install));
    EXPECT_TRUE(differences.empty()) << differences[0];
    EXPECT_TRUE(RunLeftovers(install).empty());
}

TEST_F(DeltaE2ETest, SignedUpdatersRunThePatch) {
    // This patch built and signed by the Linux mkupdate, once with a certificate and its key
    // and once with a PKCS#12 file (tools/sign_test.sh, the suite's fixture, which also had
    // osslsigncode verify them).
    const std::string signedDir = FromEnvironment("QV_SIGNED_DIR");
    ASSERT_FALSE(signedDir.empty()) << "QV_SIGNED_DIR names the signed updaters";
    for (const char* name : {"signed-cert.exe", "signed-pkcs12.exe"}) {
        Install(releases[0]);
        const std::string exe = folder.path + "\\" + name;
        ASSERT_TRUE(CopyFileA((signedDir + "\\" + name).c_str(), exe.c_str(), FALSE)) << name;
        Transcript t = RunExe(exe, {"OK", "click:1002", "click:1", "click:1", "click:1"});
        EXPECT_EQ(1u, t.exitCode) << name << ": " << t.Text();
        for (const char* file : {"GAME.EXE", "data\\EVENT.DAT", "OPTION.DAT"})
            EXPECT_TRUE(Installed(file) == Patched(file)) << name << ": " << file;
        EXPECT_TRUE(RunLeftovers(install).empty()) << name;
    }
}

} // namespace
