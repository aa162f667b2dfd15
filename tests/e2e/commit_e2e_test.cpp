// The real UPDATE.exe's all-or-nothing run: ended by force at every step of its commit and
// started again, refusing a damaged payload entry before it writes, and naming a file that
// another process holds.
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "archive/archive_index.h"
#include "archive/payload_features.h"
#include "e2e/e2e_fixture.h"
#include "payload/archive_writer.h"
#include "win/tree_snapshot.h"

namespace {

const std::string kAborted = std::string(kE2ECaption) + "|アップデートが中断されました";
const std::string kRestoredText =
    "前回のアップデートが途中で終わっていたため、ゲームのファイルをアップデート前の状態に戻し"
    "ました。";

// For failure messages: the first line of a list that may be empty.
std::string FirstOf(const std::vector<std::string>& lines) {
    return lines.empty() ? "(none)" : lines[0];
}

class CommitTest : public UpdaterRunTest {
  protected:
    void SetUp() override {
        UpdaterRunTest::SetUp();
        data = install + "\\data";
    }
    // The installed game before the patch.
    void Lay() {
        ScratchFolder::RemoveContents(install);
        WriteText(InstallFile("SETUP.INI"), InstalledSetupIni(), 0x01D0000000000000ull);
        CreateDirectoryA(data.c_str(), nullptr);
        CreateDirectoryA(InstallFile("sys").c_str(), nullptr);
        WriteText(InstallFile("a.dat"), "old a", 0x01D0000000000000ull);
        SetFileAttributesA(InstallFile("a.dat").c_str(), FILE_ATTRIBUTE_READONLY);
        WriteText(InstallFile("sys\\c.dat"), "old c", 0x01D0000000000000ull);
        // Removed by the patch when its payload requires deletions.
        WriteText(InstallFile("sys\\gone.dat"), "old gone", 0x01D0000000000000ull);
        WriteText(data + "\\save.dat", "player's save", 0x01D0000000000000ull);
    }
    std::vector<PayloadFile> Patch() {
        return {{"UPDATE.INI", UpdateIniSetup() + "[UPDATE]\r\n"
                                                  "UpdateFile00=a.dat\r\n"
                                                  "UpdateFile01=b.dat\r\n"
                                                  "UpdateFile02=u,sys\\c.dat\r\n"
                                                  "UpdateFile03=d,save.dat\r\n"
                                                  "DeleteFile00=sys\\gone.dat\r\n"},
                {"a.dat", "patched a"},
                {"b.dat", std::string(100000, 'b')},
                {"c.dat", "patched c"},
                {"save.dat", "default save"}};
    }

    std::string data;
};

TEST_F(CommitTest, EndedAtEveryStepOfTheCommitTheNextStartRestoresOrFinishes) {
    if (CrashUpdater.empty())
        GTEST_SKIP() << "no crash-test copy of the updater given";
    const std::vector<uint8_t> payload = MakePayload(Patch(), PAYLOAD_FEATURE_DELETIONS);
    CreateDirectoryA((folder.path + "\\crash").c_str(), nullptr);
    CreateDirectoryA((folder.path + "\\plain").c_str(), nullptr);
    const std::string crashExe = MakeUpdater(folder.path + "\\crash", &payload, CrashUpdater);
    const std::string plainExe = MakeUpdater(folder.path + "\\plain", &payload);
    ASSERT_FALSE(crashExe.empty());
    ASSERT_FALSE(plainExe.empty());
    const std::string countFile = folder.File("count.txt");

    Lay();
    const TreeSnapshot before = TakeSnapshot(install);
    SetEnvironmentVariableA("QV_CRASH_AT", "0");
    SetEnvironmentVariableA("QV_CRASH_COUNT", countFile.c_str());
    Transcript whole = RunExe(crashExe, {"click:1", "click:1", "click:1"});
    ASSERT_EQ(1u, whole.exitCode) << whole.Text();
    const TreeSnapshot after = TakeSnapshot(install);
    ASSERT_FALSE(after.count("sys\\gone.dat")) << "the deletion is among the steps";
    std::vector<uint8_t> countText = ReadBytes(countFile);
    const int steps = atoi(std::string(countText.begin(), countText.end()).c_str());
    ASSERT_GT(steps, 8);
    SetEnvironmentVariableA("QV_CRASH_COUNT", nullptr);
    // The data file written back takes the time of its rewrite.
    const std::vector<std::string> rewritten = {"data\\save.dat"};

    int restored = 0, untouched = 0, finished = 0, mixed = 0;
    for (int k = 1; k <= steps + 1; ++k) {
        Lay();
        SetEnvironmentVariableA("QV_CRASH_AT", std::to_string(k).c_str());
        Transcript killed = RunAndAnswer(crashExe, {"click:1", "click:1"}, ShotName("-killed"));
        SetEnvironmentVariableA("QV_CRASH_AT", nullptr);
        RemoveLeftoverRunFolders();
        const bool died = killed.exitCode == 99;
        EXPECT_TRUE(died || k == steps + 1) << "step " << k << ": " << killed.Text();

        // The next start: restored (saying so) or finished silently, then the dialog, which
        // the user cancels this time.
        Transcript next = RunAndAnswer(plainExe, {"OK", "click:2", "OK"}, ShotName("-next"));
        const std::vector<std::string> boxes = Boxes(next);
        const bool saidRestored =
            !boxes.empty() && boxes[0].find(kRestoredText) != std::string::npos;
        const TreeSnapshot now = TakeSnapshot(install);
        const std::vector<std::string> asBefore = CompareSnapshots(before, now);
        const std::vector<std::string> asAfter = CompareSnapshots(after, now, rewritten);
        if (asBefore.empty() && died) {
            // Said so unless the run died before its journal was in force: then nothing of it
            // could have been changed yet.
            ++(saidRestored ? restored : untouched);
        } else if (asAfter.empty()) {
            ++finished;
            EXPECT_FALSE(saidRestored) << "step " << k;
        } else {
            ++mixed;
            ADD_FAILURE() << "step " << k << (died ? "" : " (the run did not die there)")
                          << ": first difference from before: " << FirstOf(asBefore)
                          << "; from after: " << FirstOf(asAfter);
        }
        const std::vector<std::string> leftovers = RunLeftovers(install);
        EXPECT_TRUE(leftovers.empty()) << "step " << k << " left " << leftovers[0]
                                       << "; the next start showed " << next.Text();
    }
    printf("%d crash points: %d restored, %d before any journal, %d finished, %d mixed\n",
           steps + 1, restored, untouched, finished, mixed);
    EXPECT_GT(restored, 0);
    EXPECT_GT(finished, 0);
}

// One flipped bit in an entry the run writes, stored as is or compressed: refused before the
// first write, naming the entry, as a failed write.
TEST_F(CommitTest, DamagedEntryIsRefusedBeforeAnyWrite) {
    for (bool compressed : {false, true}) {
        Lay();
        const TreeSnapshot before = TakeSnapshot(install);
        std::vector<PayloadFile> files = Patch();
        std::vector<ArchiveInput> inputs;
        for (const PayloadFile& f : files)
            inputs.push_back(ArchiveInput{f.name, (const uint8_t*)f.bytes.data(), f.bytes.size(),
                                          0x01D9000000000000ull, f.name != "b.dat" || compressed,
                                          true});
        std::vector<uint8_t> image;
        std::string error;
        ArchiveOptions options = {kIndexCompressed | kIndexScrambled, kCompressFast, false};
        options.integrity = true;
        ASSERT_EQ(1, BuildArchiveWith(inputs, options, &image, &error));
        uint8_t* index = OpenArchiveImage(image.data(), (uint32_t)image.size(), malloc, free);
        ASSERT_NE(nullptr, index);
        uint32_t offset = 0;
        const uint8_t* rec = LookupEntry(
            index, "b.dat", [](const char* a, const char* b) { return lstrcmpiA(a, b); }, &offset);
        ASSERT_NE(nullptr, rec);
        EXPECT_EQ(compressed, EntryIsCompressed(rec));
        image[offset + EntryStoredSize(rec) / 2] ^= 0x10;
        free(index);

        Transcript t =
            RunExe(MakeUpdater(folder.path, &image), {"click:1", "click:1", "OK", "OK", "OK"});
        EXPECT_EQ(0u, t.exitCode);
        const std::vector<std::string> boxes = Boxes(t);
        ASSERT_EQ(5u, boxes.size()) << t.Text();
        EXPECT_NE(std::string::npos, boxes[2].find("b.dat")) << boxes[2];
        EXPECT_EQ(std::string(kE2ECaption) + "|ファイルの書き込みに失敗しました", boxes[3]);
        EXPECT_EQ(kAborted, boxes[4]);
        EXPECT_TRUE(CompareSnapshots(before, TakeSnapshot(install)).empty())
            << (compressed ? "compressed" : "stored");
    }
}

// A file another process holds open without letting others delete it cannot be swapped: the
// run names it and touches nothing.
TEST_F(CommitTest, TargetHeldByAnotherProcessIsNamed) {
    Lay();
    const TreeSnapshot before = TakeSnapshot(install);
    HANDLE held = CreateFileA(InstallFile("sys\\c.dat").c_str(), GENERIC_READ, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    Transcript t = Run(Patch(), {"click:1", "click:1", "OK", "OK", "OK"});
    CloseHandle(held);
    EXPECT_EQ(0u, t.exitCode);
    const std::vector<std::string> boxes = Boxes(t);
    ASSERT_EQ(5u, boxes.size()) << t.Text();
    EXPECT_EQ(std::string(kE2ECaption) + "|「" + InstallFile("sys\\c.dat") +
                  "」はほかのプログラムが使用しているため置き換えられません",
              boxes[2]);
    EXPECT_EQ(std::string(kE2ECaption) + "|ファイルの書き込みに失敗しました", boxes[3]);
    EXPECT_EQ(kAborted, boxes[4]);
    EXPECT_TRUE(CompareSnapshots(before, TakeSnapshot(install)).empty());
}

} // namespace
