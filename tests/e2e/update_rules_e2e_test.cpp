// The rules of UPDATE.INI as a publisher meets them, end to end: the boxes, the exit code and the
// files after each run, one row per rule.
#include <stdlib.h>

#include <functional>
#include <string>
#include <vector>

#include "archive/payload_features.h"
#include "e2e/e2e_fixture.h"

namespace {

const char kFailed[] = "ファイルの書き込みに失敗しました";
const char kAborted[] = "アップデートが中断されました";

struct Row {
    const char* what;
    std::string update; // UPDATE.INI's [UPDATE] section
    uint32_t features;
    std::function<void()> lay; // beyond a.dat, which holds "old a"
    // The boxes after the confirm page; empty: the run completes (exit code 1).
    std::vector<std::string> boxes;
    std::vector<std::pair<std::string, std::string>> files; // path, bytes ("": not there)
};

class UpdateRulesE2ETest : public UpdaterRunTest {
  protected:
    void TearDown() override {
        if (!disc.empty())
            ScratchFolder::RemoveContents(disc);
        UpdaterRunTest::TearDown();
    }
    // Disc 1 in drive E:, which SETUP.INI's check file names.
    void InsertDisc(const std::string& movie) {
        const char* prefix = getenv("WINEPREFIX");
        ASSERT_TRUE(prefix && GetDriveTypeA("E:\\") == DRIVE_CDROM) << "no CD-ROM drive E:";
        disc = WindowsPath(std::string(prefix) + "-cdrom-e");
        ScratchFolder::RemoveContents(disc);
        WriteBytes(disc + "\\DISC1.CHK", Bytes("disc 1"));
        CreateDirectoryA((disc + "\\movie").c_str(), nullptr);
        WriteBytes(disc + "\\movie\\op.mpg", Bytes(movie));
        WriteBytes(InstallFile("SETUP.INI"),
                   Bytes(InstalledSetupIni("DiskCheckFile1=DISC1.CHK\r\n")));
    }
    std::string disc;
};

TEST_F(UpdateRulesE2ETest, EachRuleAsThePublisherMeetsIt) {
    // A folder whose path leaves less room than the name the new file is first written under.
    const std::string deep(245 - install.size() - 1, 'f');
    const std::string caption = kE2ECaption;
    const Row rows[] = {
        {"a file into a folder that is not there, the payload asking for no folders",
         "UpdateFile00=sys\\b.dat\r\nUpdateFile01=a.dat\r\n",
         0,
         nullptr,
         {kFailed, kAborted},
         {{"sys\\b.dat", ""}, {"a.dat", "old a"}}},
        {"a data path that no item uses",
         "UpdateFile00=a.dat\r\n",
         0,
         [&] {
             key.dataPath = "\\\\server\\share\\data";
             WriteInstallKey(key);
         },
         {},
         {{"a.dat", "patched a"}}},
        {"a deletion and a disc copy of one file: the copy stays",
         "UpdateFile00=a.dat\r\nDeleteFile00=movie\\op.mpg\r\nCopyFile00=1:movie\\op.mpg\r\n",
         PAYLOAD_FEATURE_DELETIONS,
         [&] {
             InsertDisc("disc movie");
             CreateDirectoryA(InstallFile("movie").c_str(), nullptr);
             WriteBytes(InstallFile("movie\\op.mpg"), Bytes("old movie"));
         },
         {},
         {{"a.dat", "patched a"}, {"movie\\op.mpg", "disc movie"}}},
        {"a mode word and an empty path",
         "UpdateFile00=u,,x\r\nUpdateFile01=a.dat\r\n",
         0,
         nullptr,
         {"Can't Find File in Resource !!", kFailed, kAborted},
         {{"a.dat", "old a"}}},
        {"a lone selector of this installation",
         "UpdateFile00=1\r\nUpdateFile01=a.dat\r\n",
         0,
         nullptr,
         {"Can't Find File in Resource !!", kFailed, kAborted},
         {{"a.dat", "old a"}}},
        {"a path ending in a separator",
         "UpdateFile00=sys\\\r\nUpdateFile01=a.dat\r\n",
         0,
         [&] { CreateDirectoryA(InstallFile("sys").c_str(), nullptr); },
         {"Can't Find File in Resource !!", kFailed, kAborted},
         {{"a.dat", "old a"}}},
        {"a folder too long for the name a new file is first written under",
         "UpdateFile00=a.dat\r\nUpdateFile01=" + deep + "\\b.dat\r\n",
         0,
         [&] { CreateDirectoryA(InstallFile(deep).c_str(), nullptr); },
         {"パスが長すぎます (ファイルのあるフォルダは 243 バイトまで)：\r" + install + "\r" + deep +
              "\\b.dat",
          kAborted},
         {{"a.dat", "old a"}}},
    };
    for (const Row& row : rows) {
        ScratchFolder::RemoveContents(install);
        UpdaterRunTest::SetUp();
        WriteBytes(InstallFile("a.dat"), Bytes("old a"));
        if (row.lay)
            row.lay();
        const std::vector<PayloadFile> files = {
            {"UPDATE.INI", UpdateIniSetup() + "[UPDATE]\r\n" + row.update},
            {"a.dat", "patched a"},
            {"b.dat", "patched b"}};
        const std::vector<uint8_t> payload = MakePayload(files, row.features);
        std::vector<std::string> script = {"click:1", "click:1"};
        script.insert(script.end(), row.boxes.empty() ? 1 : row.boxes.size(),
                      row.boxes.empty() ? "click:1" : "OK");
        Transcript t = RunExe(MakeUpdater(folder.path, &payload), script);
        std::vector<std::string> boxes = Boxes(t);
        // The greeting and the confirm page go first.
        boxes.erase(boxes.begin(), boxes.begin() + (boxes.size() < 2 ? boxes.size() : 2));
        if (row.boxes.empty()) {
            EXPECT_EQ(1u, t.exitCode) << row.what << "\n" << t.Text();
            const std::string last = boxes.empty() ? "" : boxes.back();
            EXPECT_NE(std::string::npos, last.find("アップデートは完了しました")) << row.what;
        } else {
            std::vector<std::string> expected;
            for (const std::string& b : row.boxes)
                expected.push_back(caption + "|" + b);
            EXPECT_EQ(0u, t.exitCode) << row.what;
            EXPECT_EQ(expected, boxes) << row.what << "\n" << t.Text();
        }
        for (const auto& [path, bytes] : row.files) {
            const std::vector<uint8_t> got = ReadBytes(InstallFile(path));
            EXPECT_EQ(bytes, std::string(got.begin(), got.end())) << row.what << ": " << path;
        }
    }
}

} // namespace
