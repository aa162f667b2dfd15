#include "update/disc_copy.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "archive/archive.h"
#include "core/profile.h"
#include "core/run_state.h"
#include "e2e/driver.h"
#include "settings/install_settings.h"
#include "update/update_run.h"
#include "win/win_test_support.h"

namespace {

int g_prompts = 0;
int g_insertAfter = 0; // prompts answered OK before the disc goes in; -1 answers Cancel

int AnswerPrompt(const std::string&) {
    ++g_prompts;
    if (g_insertAfter < 0)
        return IDCANCEL;
    if (g_prompts > g_insertAfter)
        MoveFileA((DiscFolder('e') + ".out").c_str(), DiscFolder('e').c_str());
    return IDOK;
}

class DiscCopyTest : public UpdateRunFixture {
  protected:
    void SetUp() override {
        UpdateRunFixture::SetUp();
        if (GetDriveTypeA("E:\\") != DRIVE_CDROM || GetDriveTypeA("G:\\") != DRIVE_CDROM)
            GTEST_SKIP() << "no CD-ROM drives E: and G: in this prefix";
        for (char letter : {'e', 'g'}) {
            MoveFileA((DiscFolder(letter) + ".out").c_str(), DiscFolder(letter).c_str());
            CreateDirectoryA(DiscFolder(letter).c_str(), nullptr);
            ScratchFolder::RemoveContents(DiscFolder(letter));
        }
        AnswerMessageBox = AnswerPrompt;
        g_prompts = 0;
        g_insertAfter = 0;
        memset(&InstallSettings, 0, sizeof InstallSettings);
        strcpy(InstallSettings.DiskCheckFile[0], "DISC0.CHK");
        strcpy(InstallSettings.DiskCheckFile[1], "DISC1.CHK");
        strcpy(GameIdentity.GameTitle, "ディスクゲーム");
        DiscRoot[0] = 0;
    }
    void TearDown() override {
        UpdateRunFixture::TearDown();
        AnswerMessageBox = nullptr;
        for (char letter : {'e', 'g'}) {
            MoveFileA((DiscFolder(letter) + ".out").c_str(), DiscFolder(letter).c_str());
            ScratchFolder::RemoveContents(DiscFolder(letter));
        }
    }
    // Disc 1 in drive `letter`, with a read-only file and a folder on it.
    void InsertDiscOne(char letter, const std::string& movie = "movie from disc") {
        const std::string root = DiscFolder(letter);
        WriteText(root + "\\DISC1.CHK", "");
        CreateDirectoryA((root + "\\movie").c_str(), nullptr);
        WriteText(root + "\\movie\\op.mpg", movie);
        SetFileAttributesA((root + "\\movie\\op.mpg").c_str(), FILE_ATTRIBUTE_READONLY);
        CreateDirectoryA((root + "\\bonus").c_str(), nullptr);
        CreateDirectoryA((root + "\\bonus\\sub").c_str(), nullptr);
        WriteText(root + "\\bonus\\x.txt", "x");
        WriteText(root + "\\bonus\\sub\\y.txt", "y");
        WriteText(root + "\\readme.txt", "readme");
    }
    void Eject(char letter) {
        MoveFileA(DiscFolder(letter).c_str(), (DiscFolder(letter) + ".out").c_str());
    }
    const std::string prompt =
        "UPDATE|ＣＤ－ＲＯＭドライブに「ディスクゲーム」ディスク 1 を入れて下さい";
};

TEST_F(DiscCopyTest, FileArrivesNormalAndReplacesWithoutAsking) {
    InsertDiscOne('e');
    CreateDirectoryA((install + "\\movie").c_str(), nullptr);
    WriteText(install + "\\movie\\op.mpg", "old movie");
    ASSERT_NE(0u, GetFileAttributesA((DiscFolder('e') + "\\movie\\op.mpg").c_str()) &
                      FILE_ATTRIBUTE_READONLY);
    DialogOutcome o = Run("CopyFile00=1:movie\\op.mpg\r\n");
    EXPECT_EQ(99, o.result);
    EXPECT_EQ("アップデートは完了しました", o.info);
    EXPECT_TRUE(ShownMessages.empty()) << ShownMessages[0];
    EXPECT_EQ("movie from disc", ReadText(install + "\\movie\\op.mpg"));
    EXPECT_EQ(0u,
              GetFileAttributesA((install + "\\movie\\op.mpg").c_str()) & FILE_ATTRIBUTE_READONLY);
    EXPECT_STREQ("E:", DiscRoot);
}

TEST_F(DiscCopyTest, EarlierDriveLetterWins) {
    InsertDiscOne('e', "from E");
    InsertDiscOne('g', "from G");
    EXPECT_EQ(99, Run("CopyFile00=1:movie\\op.mpg\r\n").result);
    EXPECT_EQ("from E", ReadText(install + "\\movie\\op.mpg"));

    DeleteFileA((DiscFolder('e') + "\\DISC1.CHK").c_str()); // E: holds another disc
    DiscRoot[0] = 0;
    EXPECT_EQ(99, Run("CopyFile00=1:movie\\op.mpg\r\n").result);
    EXPECT_EQ("from G", ReadText(install + "\\movie\\op.mpg"));
    EXPECT_STREQ("G:", DiscRoot);
}

TEST_F(DiscCopyTest, PromptRepeatsUntilTheDiscIsIn) {
    InsertDiscOne('e');
    Eject('e');
    g_insertAfter = 2; // OK twice with no disc, then the disc goes in
    DialogOutcome o = Run("CopyFile00=1:readme.txt\r\n");
    EXPECT_EQ(99, o.result);
    EXPECT_EQ(std::vector<std::string>(3, prompt), ShownMessages);
    EXPECT_EQ("readme", ReadText(install + "\\readme.txt"));
}

TEST_F(DiscCopyTest, CancelAtThePromptEndsTheRun) {
    InsertDiscOne('e');
    Eject('e');
    g_insertAfter = -1;
    DialogOutcome o = Run("CopyFile00=1:readme.txt\r\nCopyFile01=1:movie\\op.mpg\r\n");
    EXPECT_EQ(-1, o.result);
    EXPECT_EQ(std::vector<std::string>({prompt}), ShownMessages);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((install + "\\readme.txt").c_str()));
}

TEST_F(DiscCopyTest, FolderIsCopiedIntoTheInstallFolderUnderItsName) {
    InsertDiscOne('e');
    EXPECT_EQ(99, Run("CopyFile00=1:bonus\r\n").result);
    EXPECT_EQ("x", ReadText(install + "\\bonus\\x.txt"));
    EXPECT_EQ("y", ReadText(install + "\\bonus\\sub\\y.txt"));
}

TEST_F(DiscCopyTest, MissingSourceFailsWithItsPath) {
    InsertDiscOne('e');
    DialogOutcome o = Run("CopyFile00=1:movie\\none.mpg\r\n");
    EXPECT_EQ(-1, o.result);
    EXPECT_EQ(
        std::vector<std::string>({"UPDATE|SETUP.INI : \"movie\\none.mpg\" のコピーに失敗しました"}),
        ShownMessages);
}

TEST_F(DiscCopyTest, ItemWithoutDiscNumber) {
    // After disc 1 was found, it copies from that drive, without a search.
    InsertDiscOne('g');
    EXPECT_EQ(99, Run("CopyFile00=1:readme.txt\r\nCopyFile01=movie\\op.mpg\r\n").result);
    EXPECT_EQ("movie from disc", ReadText(install + "\\movie\\op.mpg"));
    EXPECT_TRUE(ShownMessages.empty());

    // Before any disc was found, it looks for disc 0 instead of reading an undefined drive.
    DiscRoot[0] = 0;
    WriteText(DiscFolder('g') + "\\DISC0.CHK", "");
    DeleteFileA((install + "\\readme.txt").c_str());
    EXPECT_EQ(99, Run("CopyFile00=readme.txt\r\n").result);
    EXPECT_EQ("readme", ReadText(install + "\\readme.txt"));
    EXPECT_STREQ("G:", DiscRoot);
}

// While the copies land in the run's own folder, another program tries to move that folder away
// (to put a link in its place) and puts links into it where the copy goes on: the folder stays,
// the run fails, and nothing a link leads to is staged, moved or removed.
struct Meddling {
    std::string install, outside, staging;
    bool moved = false, linked = false;
    SavedOps* real = nullptr;
} g_meddling;

BOOL WINAPI WriteAndMeddle(HANDLE h, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED o) {
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((g_meddling.install + "\\~qv*.dir").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE && g_meddling.staging.empty()) {
        g_meddling.staging = g_meddling.install + "\\" + found.cFileName;
        g_meddling.moved =
            MoveFileA(g_meddling.staging.c_str(), (g_meddling.staging + "-x").c_str());
        // The copy is on its way into bonus: links at the names it has not reached yet.
        const std::string bonus = g_meddling.staging + "\\bonus\\";
        for (const auto& [name, to] :
             {std::pair<std::string, std::string>{"x.txt", "victim.txt"}, {"sub", "tree"}}) {
            if (!PathExists(bonus + name))
                g_meddling.linked |= MakeLink(bonus + name, g_meddling.outside + "\\" + to);
        }
    }
    if (find != INVALID_HANDLE_VALUE)
        FindClose(find);
    return g_meddling.real->platform.WriteFile(h, data, size, written, o);
}

TEST_F(DiscCopyTest, OwnFolderCannotBeSwappedAndLinksInItAreNotFollowed) {
    InsertDiscOne('e');
    ScratchFolder outside;
    WriteText(outside.File("victim.txt"), "not the game's");
    CreateDirectoryA(outside.File("tree").c_str(), nullptr);
    WriteText(outside.File("tree\\leaf.txt"), "leaf");
    g_meddling = Meddling{install, outside.path, "", false, false, &saved};
    for (const std::string& name : ScratchFolder::NamesIn(install))
        ASSERT_NE(0u, name.find("~qv")) << "a run's folder left from before";
    PlatformOps.WriteFile = WriteAndMeddle;
    DialogOutcome o = Run("CopyFile00=1:bonus\r\n");
    PlatformOps = saved.platform;
    EXPECT_FALSE(g_meddling.moved) << "the staging folder was moved away";
    EXPECT_TRUE(g_meddling.linked) << "no link could be made here";
    EXPECT_EQ(-1, o.result);
    ASSERT_FALSE(ShownMessages.empty());
    EXPECT_NE(std::string::npos, ShownMessages[0].find("のコピーに失敗しました"))
        << ShownMessages[0];
    EXPECT_EQ("not the game's", ReadText(outside.File("victim.txt")));
    EXPECT_EQ(std::vector<std::string>({"leaf.txt"}), ScratchFolder::NamesIn(outside.File("tree")));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((install + "\\bonus").c_str()));
    // The links the run could not remove as themselves go, and the run's folder with them.
    const std::string bonus = g_meddling.staging + "\\bonus";
    for (const std::string& name : ScratchFolder::NamesIn(bonus))
        RemoveLink(bonus + "\\" + name);
    RemoveDirectoryA(bonus.c_str());
    RemoveDirectoryA(g_meddling.staging.c_str());
}

} // namespace
