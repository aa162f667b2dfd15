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

// Ends the process the test started when the insert-disc prompt shows, as a power cut would.
HANDLE PromptedProcess = nullptr;
void KillAtTheDiscPrompt(size_t, const WindowRecord& w) {
    if (w.StaticText().find("ディスク 1 を入れて下さい") != std::string::npos)
        TerminateProcess(PromptedProcess, 99);
}

class CommitTest : public UpdaterRunTest {
  protected:
    void SetUp() override {
        UpdaterRunTest::SetUp();
        disc = DiscFolder('e');
    }
    void TearDown() override {
        if (!disc.empty())
            ScratchFolder::RemoveContents(disc);
        UpdaterRunTest::TearDown();
    }
    // No journal key, as on a machine the game's updater never ran on. A run that finds the key
    // makes and removes it one step fewer, and a run that died between making it and recording
    // that it did leaves it behind: without this, the run that counts the steps and the runs that
    // die at each of them would not count alike.
    static void ForgetJournalKey() {
        const std::string company = std::string("Software\\") + kE2ECompany;
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, (company + "\\" + kE2EGameDir).c_str());
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, company.c_str());
    }
    // The installed game before the patch, without its data folder; with disc 1 in drive E:
    // when asked.
    void Lay(bool discInDrive = false) {
        ScratchFolder::RemoveContents(install);
        WriteText(InstallFile("SETUP.INI"), InstalledSetupIni("DiskCheckFile1=DISC1.CHK\r\n"),
                  0x01D0000000000000ull);
        CreateDirectoryA(InstallFile("sys").c_str(), nullptr);
        WriteText(InstallFile("a.dat"), "old a", 0x01D0000000000000ull);
        SetFileAttributesA(InstallFile("a.dat").c_str(), FILE_ATTRIBUTE_READONLY);
        WriteText(InstallFile("sys\\c.dat"), "old c", 0x01D0000000000000ull);
        // Newer than the patch's, and read-only: kept, its mark cleared.
        WriteText(InstallFile("ro.dat"), "newer ro", 0x01DA000000000000ull);
        SetFileAttributesA(InstallFile("ro.dat").c_str(), FILE_ATTRIBUTE_READONLY);
        // Removed by the patch when its payload requires deletions; the second one's folder
        // goes with it.
        WriteText(InstallFile("sys\\gone.dat"), "old gone", 0x01D0000000000000ull);
        CreateDirectoryA(InstallFile("empty").c_str(), nullptr);
        WriteText(InstallFile("empty\\only.dat"), "old only", 0x01D0000000000000ull);
        // A file the patch trades for a folder, and a folder it trades for a file.
        WriteText(InstallFile("trade"), "old trade", 0x01D0000000000000ull);
        CreateDirectoryA(InstallFile("tofile").c_str(), nullptr);
        CreateDirectoryA(InstallFile("tofile\\in").c_str(), nullptr);
        WriteText(InstallFile("tofile\\x.dat"), "old x", 0x01D0000000000000ull);
        WriteText(InstallFile("tofile\\in\\y.dat"), "old y", 0x01D0000000000000ull);
        if (disc.empty())
            return;
        ScratchFolder::RemoveContents(disc);
        if (!discInDrive)
            return;
        WriteText(disc + "\\DISC1.CHK", "");
        CreateDirectoryA((disc + "\\movie").c_str(), nullptr);
        WriteText(disc + "\\movie\\op.mpg", "movie", 0x01D0000000000000ull);
        CreateDirectoryA((disc + "\\extras").c_str(), nullptr);
        WriteText(disc + "\\extras\\one.txt", "one", 0x01D0000000000000ull);
    }
    // Every kind of action a run records: folders made (nested, and the data folder itself),
    // read-only marks cleared on a file and the install folder's attributes reset, replacements,
    // deletions with the folder one empties, and disc copies of a file and of a folder. The
    // nested folders, and a file and a folder traded for each other, only for a payload that
    // makes folders.
    std::vector<PayloadFile> Patch(bool nested = true) {
        std::vector<PayloadFile> files = {
            {"UPDATE.INI", UpdateIniSetup() +
                               "[UPDATE]\r\n"
                               "UpdateFile00=a.dat\r\n"
                               "UpdateFile01=b.dat\r\n"
                               "UpdateFile02=u,sys\\c.dat\r\n"
                               "UpdateFile03=d,save.dat\r\n"
                               "UpdateFile04=u,ro.dat\r\n" +
                               (nested ? "UpdateFile05=new\\deeper\\n.dat\r\n"
                                         "UpdateFile06=trade\\t.dat\r\n"
                                         "UpdateFile07=tofile\r\n"
                                       : "") +
                               "DeleteFile00=sys\\gone.dat\r\n"
                               "DeleteFile01=empty\\only.dat\r\n" +
                               (nested ? "DeleteFile02=trade\r\n"
                                         "DeleteFile03=tofile\\x.dat\r\n"
                                         "DeleteFile04=tofile\\in\\y.dat\r\n"
                                       : "") +
                               "CopyFile00=1:movie\\op.mpg\r\n"
                               "CopyFile01=1:extras\r\n"},
            {"a.dat", "patched a"},
            {"b.dat", std::string(100000, 'b')},
            {"c.dat", "patched c"},
            {"save.dat", "default save"},
            {"ro.dat", "patched ro"}};
        if (nested)
            files.insert(files.end(),
                         {{"n.dat", "nested n"}, {"t.dat", "traded t"}, {"tofile", "traded file"}});
        return files;
    }

    std::string disc;
};

TEST_F(CommitTest, EndedAtEveryStepOfTheCommitTheNextStartRestoresOrFinishes) {
    if (CrashUpdater.empty())
        GTEST_SKIP() << "no crash-test copy of the updater given";
    if (GetDriveTypeA("E:\\") != DRIVE_CDROM)
        GTEST_SKIP() << "no CD-ROM drive E: in this prefix";
    const std::vector<uint8_t> payload =
        MakePayload(Patch(), PAYLOAD_FEATURE_DELETIONS | PAYLOAD_FEATURE_NEW_FOLDERS);
    CreateDirectoryA((folder.path + "\\crash").c_str(), nullptr);
    CreateDirectoryA((folder.path + "\\plain").c_str(), nullptr);
    const std::string crashExe = MakeUpdater(folder.path + "\\crash", &payload, CrashUpdater);
    const std::string plainExe = MakeUpdater(folder.path + "\\plain", &payload);
    ASSERT_FALSE(crashExe.empty());
    ASSERT_FALSE(plainExe.empty());
    const std::string countFile = folder.File("count.txt");

    Lay(true);
    ForgetJournalKey();
    const TreeSnapshot before = TakeSnapshot(install);
    SetEnvironmentVariableA("QV_CRASH_AT", "0");
    SetEnvironmentVariableA("QV_CRASH_COUNT", countFile.c_str());
    Transcript whole = RunExe(crashExe, {"click:1", "click:1", "click:1"});
    ASSERT_EQ(1u, whole.exitCode) << whole.Text();
    const TreeSnapshot after = TakeSnapshot(install);
    // What each kind of action made, checked once by hand: the rest compares with it.
    EXPECT_EQ("default save", after.at("data\\save.dat").bytes);
    EXPECT_EQ("nested n", after.at("new\\deeper\\n.dat").bytes);
    EXPECT_EQ("traded t", after.at("trade\\t.dat").bytes);
    EXPECT_EQ("traded file", after.at("tofile").bytes);
    EXPECT_EQ("newer ro", after.at("ro.dat").bytes);
    EXPECT_EQ(0u, after.at("ro.dat").attributes & FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ("movie", after.at("movie\\op.mpg").bytes);
    EXPECT_EQ("one", after.at("extras\\one.txt").bytes);
    EXPECT_FALSE(after.count("sys\\gone.dat"));
    EXPECT_FALSE(after.count("empty")) << "the folder the deletion emptied goes";
    std::vector<uint8_t> countText = ReadBytes(countFile);
    const int steps = atoi(std::string(countText.begin(), countText.end()).c_str());
    ASSERT_GT(steps, 8);
    SetEnvironmentVariableA("QV_CRASH_COUNT", nullptr);

    int restored = 0, untouched = 0, finished = 0, mixed = 0, refused = 0;
    // The crash points, then one more: the run ended at the insert-disc prompt.
    for (int k = 1; k <= steps + 2; ++k) {
        const bool atPrompt = k == steps + 2;
        Lay(!atPrompt);
        ForgetJournalKey();
        Transcript killed;
        if (atPrompt) {
            PROCESS_INFORMATION process = {};
            ASSERT_TRUE(StartProcess(plainExe, &process));
            PromptedProcess = process.hProcess;
            killed = DriveProcess(process, {"click:1", "click:1"}, ShotName("-prompt"),
                                  KillAtTheDiscPrompt);
            Lay(true);
        } else {
            SetEnvironmentVariableA("QV_CRASH_AT", std::to_string(k).c_str());
            killed = RunAndAnswer(crashExe, {"click:1", "click:1"}, ShotName("-killed"));
            SetEnvironmentVariableA("QV_CRASH_AT", nullptr);
        }
        RemoveLeftoverRunFolders();
        const bool died = killed.exitCode == 99;
        EXPECT_TRUE(died || k == steps + 1) << "step " << k << ": " << killed.Text();

        // The next start: restored (saying so) or finished silently, then the dialog, which
        // the user cancels this time.
        Transcript next = RunAndAnswer(plainExe, {"OK", "click:2", "OK"}, ShotName("-next"));
        const std::vector<std::string> boxes = Boxes(next);
        const bool saidRestored =
            !boxes.empty() && boxes[0].find(kRestoredText) != std::string::npos;
        const bool saidRefused =
            !boxes.empty() && boxes[0].find("そのままにしました") != std::string::npos;
        const TreeSnapshot now = TakeSnapshot(install);
        if (atPrompt) {
            EXPECT_TRUE(saidRestored) << next.Text();
        }
        if (saidRefused) {
            ++refused;
            ADD_FAILURE() << "step " << k << ": " << boxes[0];
            continue;
        }
        const std::vector<std::string> asBefore = CompareSnapshots(before, now);
        const std::vector<std::string> asAfter = CompareSnapshots(after, now);
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
    printf("%d crash points: %d restored, %d before any journal, %d finished, %d mixed, "
           "%d refused\n",
           steps + 2, restored, untouched, finished, mixed, refused);
    EXPECT_GT(restored, 0);
    EXPECT_GT(finished, 0);
}

// One flipped bit in an entry the run writes, stored as is or compressed: refused before the
// first write, naming the entry, as a failed write.
TEST_F(CommitTest, DamagedEntryIsRefusedBeforeAnyWrite) {
    for (bool compressed : {false, true}) {
        Lay();
        const TreeSnapshot before = TakeSnapshot(install);
        std::vector<PayloadFile> files = Patch(false);
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
    Transcript t = Run(Patch(false), {"click:1", "click:1", "OK", "OK", "OK"});
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
