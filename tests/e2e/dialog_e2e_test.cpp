// The whole updater end to end: the dialog's pages, the run behind them, the refusals to run
// twice or beside the game, and the exit code.
#include <string>
#include <vector>

#include "e2e/e2e_fixture.h"
#include "e2e/game_window.h"

namespace {

const std::string kAborted = std::string(kE2ECaption) + "|アップデートが中断されました";

const ControlRecord& ControlOf(const WindowRecord& w, int id) {
    static const ControlRecord none = {0, "", "(missing)", false, false, -1};
    const ControlRecord* c = w.Control(id);
    return c ? *c : none;
}

std::string Info(const WindowRecord& w) {
    return ControlOf(w, 1001).text;
}

// Which of the page's buttons can be pressed: "back next cancel", each followed by + or -.
std::string Buttons(const WindowRecord& w) {
    std::string s;
    for (const auto& [name, id] :
         {std::pair<const char*, int>{"back", 4}, {"next", 1}, {"cancel", 2}})
        s += std::string(s.empty() ? "" : " ") + name + (ControlOf(w, id).enabled ? "+" : "-");
    return s;
}

class DialogTest : public UpdaterRunTest {
  protected:
    std::vector<PayloadFile> Patch(const std::string& setupExtra = "",
                                   const std::string& update = "UpdateFile00=a.dat\r\n") {
        return {{"UPDATE.INI", UpdateIniSetup(setupExtra) + "[UPDATE]\r\n" + update},
                {"a.dat", "patched a"},
                {"LICENSE.TXT", "第1条\r\n使用許諾の本文"},
                {"GREETING.TXT", "ようこそ 100%% %s"}};
    }
};

TEST_F(DialogTest, WholeUpdateWithoutLicence) {
    WriteBytes(InstallFile("a.dat"), Bytes("old a"));
    Transcript t = Run(Patch(), {"click:1", "click:1", "click:1"});
    ASSERT_EQ(3u, t.windows.size()) << t.Text();
    const WindowRecord& greeting = t.windows[0];
    EXPECT_EQ(kE2ECaption, greeting.caption);
    EXPECT_EQ("「始動テスト」のアップデートを開始します", Info(greeting));
    EXPECT_EQ("back- next+ cancel+", Buttons(greeting));
    EXPECT_EQ(nullptr, greeting.Control(1000)) << "the page without a licence has no box";

    EXPECT_EQ("アップデートを実行します", Info(t.windows[1]));
    EXPECT_EQ("back- next+ cancel+", Buttons(t.windows[1]));

    const WindowRecord& done = t.windows[2];
    EXPECT_EQ("アップデートは完了しました", Info(done));
    EXPECT_EQ("完了", ControlOf(done, 1).text);
    EXPECT_EQ("back- next+ cancel-", Buttons(done));
    EXPECT_EQ(1u, t.exitCode);
    EXPECT_EQ("patched a", ReadText(InstallFile("a.dat")));
}

TEST_F(DialogTest, LicenceMustBeAgreedTo) {
    Transcript t = Run(Patch("AgreementText=LICENSE.TXT\r\n"),
                       {"click:1002", "click:1003", "click:1002", "click:1", "click:2", "OK"});
    ASSERT_EQ(6u, t.windows.size()) << t.Text();
    const WindowRecord& first = t.windows[0];
    EXPECT_FALSE(ControlOf(first, 1).enabled) << "Next waits for the agreement";
    EXPECT_EQ("第1条\r\n使用許諾の本文", ControlOf(first, 1000).text);
    EXPECT_TRUE(ControlOf(first, 1000).visible);
    EXPECT_EQ(1, ControlOf(first, 1003).checked);
    EXPECT_EQ(0, ControlOf(first, 1002).checked);
    EXPECT_TRUE(ControlOf(t.windows[1], 1).enabled) << "after 同意する";
    EXPECT_EQ(1, ControlOf(t.windows[1], 1002).checked);
    EXPECT_FALSE(ControlOf(t.windows[2], 1).enabled) << "after 同意しない";
    EXPECT_TRUE(ControlOf(t.windows[3], 1).enabled);
    const WindowRecord& confirm = t.windows[4];
    EXPECT_EQ("アップデートを実行します", Info(confirm));
    EXPECT_FALSE(ControlOf(confirm, 1000).visible);
    EXPECT_FALSE(ControlOf(confirm, 1002).visible);
    EXPECT_FALSE(ControlOf(confirm, 1003).visible);
    EXPECT_EQ(kAborted, Boxes(t)[5]) << "中止 on the confirm page";
    EXPECT_EQ(0u, t.exitCode);
    EXPECT_FALSE(PathExists(InstallFile("a.dat")));
}

TEST_F(DialogTest, Greetings) {
    struct Case {
        std::string setup;
        const char* caption;
        const char* greeting;
    };
    const Case cases[] = {
        {"AgreementTitle=GREETING.TXT\r\n", kE2ECaption, "ようこそ 100% (null)"},
        {"ModeTextUpdateOrInstall=1\r\nUpdaterTitle=新装版\r\n", "新装版",
         "「新装版」のインストールを開始します"},
        {"ModeTextUpdateOrInstall=1\r\nUpdaterVersion=1.02\r\n", "始動テスト アップデータ 1.02",
         "「」のインストールを開始します"},
    };
    for (const Case& c : cases) {
        Transcript t = Run(Patch(c.setup), {"click:2", "OK"});
        ASSERT_EQ(2u, t.windows.size()) << t.Text();
        EXPECT_EQ(c.caption, t.windows[0].caption) << c.setup;
        EXPECT_EQ(c.greeting, Info(t.windows[0])) << c.setup;
        EXPECT_EQ(std::string(c.caption) + "|アップデートが中断されました", Boxes(t)[1]);
        EXPECT_EQ(0u, t.exitCode);
    }
}

// The write rules, each item planned against what the items before it leave (the data path is
// the install path here): read-only marks, a data file written back, and two items for one
// file.
TEST_F(DialogTest, EachItemFindsWhatTheItemsBeforeItLeft) {
    const uint64_t kOld = 0x01D0000000000000ull;
    const uint64_t kEntry = 0x01D9000000000000ull; // the payload's time stamps
    DeleteInstallKey(kE2ECompany, kE2EGameDir);
    key.dataPath = install;
    WriteInstallKey(key);
    WriteText(InstallFile("ro.dat"), "player's ro", kOld);
    WriteText(InstallFile("newer.dat"), "newer", kEntry + 1);
    WriteText(InstallFile("save.dat"), "player's save", kOld);
    WriteText(InstallFile("x.dat"), "old x", kOld);
    for (const char* name : {"ro.dat", "newer.dat"})
        SetFileAttributesA(InstallFile(name).c_str(), FILE_ATTRIBUTE_READONLY);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const uint64_t start = ((uint64_t)now.dwHighDateTime << 32) | now.dwLowDateTime;
    Transcript t = Run({{"UPDATE.INI", UpdateIniSetup() + "[UPDATE]\r\n"
                                                          "UpdateFile00=d,ro.dat\r\n"
                                                          "UpdateFile01=u,newer.dat\r\n"
                                                          "UpdateFile02=d,save.dat\r\n"
                                                          "UpdateFile03=x.dat\r\n"
                                                          "UpdateFile04=d,x.dat\r\n"},
                        {"ro.dat", "patched ro"},
                        {"newer.dat", "patched newer"},
                        {"x.dat", "patched x"}},
                       {"click:1", "click:1", "click:1"});
    ASSERT_EQ(3u, t.windows.size()) << t.Text();
    EXPECT_EQ(1u, t.exitCode);
    const uint64_t kRun = 0; // written by the run: no earlier than its start
    struct Case {
        const char* file;
        const char* text;
        bool readOnly;
        uint64_t write;
    };
    const Case cases[] = {
        {"ro.dat", "player's ro", true, kOld},      // cannot be written back: untouched
        {"newer.dat", "newer", false, kEntry + 1},  // left alone, its mark cleared
        {"save.dat", "player's save", false, kRun}, // written back
        {"x.dat", "patched x", false, kRun},        // the payload's, then written back
    };
    for (const Case& c : cases) {
        const std::string path = InstallFile(c.file);
        EXPECT_EQ(c.text, ReadText(path)) << c.file;
        const DWORD attributes = GetFileAttributesA(path.c_str());
        EXPECT_EQ(c.readOnly, (attributes & FILE_ATTRIBUTE_READONLY) != 0) << c.file;
        const FileTimes times = TimesOf(path);
        if (c.write == kRun) {
            EXPECT_LE(start, times.write) << c.file;
        } else {
            EXPECT_EQ(c.write, times.write) << c.file;
        }
    }
    SetFileAttributesA(InstallFile("ro.dat").c_str(), FILE_ATTRIBUTE_NORMAL);
}

// Items that the overwrite-only rule skips still make the DataFolder folder, and a run with
// nothing else to do completes without a box.
TEST_F(DialogTest, SkippedItemsMakeTheirFolderAndTheRunCompletes) {
    Transcript t = Run(Patch("DataFolder=patch\r\n", "OverwriteOnly=1\r\nUpdateFile00=a.dat\r\n"),
                       {"click:1", "click:1", "click:1"});
    ASSERT_EQ(3u, t.windows.size()) << t.Text();
    EXPECT_EQ("アップデートは完了しました", Info(t.windows[2]));
    EXPECT_EQ(1u, t.exitCode);
    const DWORD folder = GetFileAttributesA(InstallFile("patch").c_str());
    EXPECT_TRUE(folder != INVALID_FILE_ATTRIBUTES && (folder & FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(InstallFile("patch\\a.dat").c_str()));
}

TEST_F(DialogTest, CommandsWhileTheRunWaitsAreIgnored) {
    // The run waits in its box (nothing applies to mode 1); Next, Back and Cancel sent to the
    // dialog meanwhile change nothing, and the stage moves on once.
    Transcript t = Run(Patch("", "UpdateFile00=2,a.dat\r\n"),
                       {"click:1", "click:1", "cmd:1", "cmd:4", "cmd:2", "OK", "click:1"});
    ASSERT_EQ(7u, t.windows.size()) << t.Text();
    EXPECT_EQ(std::string(kE2ECaption) + "|アップデートする必要のあるファイルはありません",
              Boxes(t)[2]);
    EXPECT_EQ(Boxes(t)[2], Boxes(t)[5]) << "the same box, still up";
    EXPECT_EQ("完了", ControlOf(t.windows[6], 1).text);
    EXPECT_EQ(1u, t.exitCode) << t.Text();
}

TEST_F(DialogTest, CommandsDuringTheDiscPromptAreIgnored) {
    // No drive holds a disc with this check file.
    WriteBytes(InstallFile("SETUP.INI"), Bytes(InstalledSetupIni("DiskCheckFile1=DISC1.CHK\r\n")));
    Transcript t = Run(Patch("", "CopyFile00=1:readme.txt\r\n"),
                       {"click:1", "click:1", "cmd:1", "cmd:2", "Cancel", "OK"});
    ASSERT_EQ(6u, t.windows.size()) << t.Text();
    EXPECT_EQ(std::string(kE2ECaption) +
                  "|ＣＤ－ＲＯＭドライブに「始動テスト」ディスク 1 を入れて下さい",
              Boxes(t)[2]);
    EXPECT_EQ(kAborted, Boxes(t)[5]);
    EXPECT_EQ(0u, t.exitCode);
}

// The small disk S: with a filler file that leaves too little room; the hook removes it when
// the shortage page shows.
std::string g_filler;

void FreeSpaceOnShortage(size_t, const WindowRecord& w) {
    if (Info(w).find("ディスク容量が足りません") != std::string::npos)
        DeleteFileA(g_filler.c_str());
}

TEST_F(DialogTest, ShortagePageThenBackAndNextAgain) {
    if (GetDriveTypeA("S:\\") == DRIVE_NO_ROOT_DIR)
        GTEST_SKIP() << "no small disk S: in this prefix";
    install = "S:\\e2egame";
    CreateDirectoryA(install.c_str(), nullptr);
    WriteBytes(InstallFile("SETUP.INI"), Bytes(InstalledSetupIni()));
    DeleteInstallKey(kE2ECompany, kE2EGameDir);
    key.instPath = install;
    WriteInstallKey(key);
    g_filler = "S:\\filler.bin";
    WriteBytes(g_filler, std::vector<uint8_t>(40 * 1024, 'f'));
    Transcript t =
        Run(Patch("", "RequiredDiskSpace=30000\r\nUpdateFile00=a.dat\r\n"),
            {"click:1", "click:1", "click:4", "click:1", "click:1"}, FreeSpaceOnShortage);
    ASSERT_EQ(5u, t.windows.size()) << t.Text();
    const WindowRecord& shortage = t.windows[2];
    EXPECT_EQ(0u, Info(shortage).find("ディスク容量が足りません。\rS: ドライブに "))
        << Info(shortage);
    EXPECT_EQ("back+ next- cancel+", Buttons(shortage));
    EXPECT_EQ("アップデートを実行します", Info(t.windows[3])) << "戻る shows the confirm page";
    EXPECT_EQ("back- next+ cancel+", Buttons(t.windows[3]));
    EXPECT_EQ("完了", ControlOf(t.windows[4], 1).text);
    EXPECT_EQ(1u, t.exitCode);
    EXPECT_EQ("patched a", ReadText(InstallFile("a.dat")));
    DeleteFileA(InstallFile("a.dat").c_str());
    DeleteFileA(InstallFile("SETUP.INI").c_str());
    RemoveDirectoryA(install.c_str());
}

TEST_F(DialogTest, SecondUpdaterBringsTheFirstToTheFront) {
    const std::vector<uint8_t> payload = MakePayload(Patch());
    const std::string exe = MakeUpdater(folder.path, &payload);
    PROCESS_INFORMATION first = {};
    ASSERT_TRUE(StartProcess(exe, &first));
    HWND dialog = nullptr;
    for (int i = 0; i < 600 && !dialog; ++i) {
        Sleep(50);
        dialog = FindWindowA("#32770", kE2ECaption);
    }
    ASSERT_NE(nullptr, dialog) << "the first updater's dialog did not open";
    Transcript second = RunAndAnswer(exe, {}, ShotName("-second"));
    EXPECT_TRUE(second.windows.empty()) << second.Text();
    EXPECT_EQ(0u, second.exitCode);
    EXPECT_EQ(dialog, GetForegroundWindow());
    // The first one's run still finds its UPDATE.INI.
    Transcript t = DriveProcess(first, {"click:1", "click:1", "click:1"}, ShotName("-first"));
    EXPECT_EQ(1u, t.exitCode) << t.Text();
    EXPECT_EQ("patched a", ReadText(InstallFile("a.dat")));
}

GameWindow* g_game = nullptr;

// Closes the game at the second time the question is asked.
void CloseGameOnSecondQuestion(size_t index, const WindowRecord&) {
    if (index == 1 && g_game)
        g_game->Close();
}

const std::string kQuestion =
    "|「%s」が実行中です。アップデートを続行する場合はゲームを終了してから [OK] "
    "を、アップデートを中止する場合は [キャンセル] を押して下さい";

std::string Question(const std::string& title) {
    std::string q = std::string(kE2ECaption) + kQuestion;
    q.replace(q.find("%s"), 2, title);
    return q;
}

TEST_F(DialogTest, RunningGameIsAskedToClose) {
    GameWindow game("StartGameWindow", kE2ETitle);
    g_game = &game;
    Transcript t = Run(Patch(), {"OK", "OK", "click:2", "OK"}, CloseGameOnSecondQuestion);
    g_game = nullptr;
    ASSERT_EQ(4u, t.windows.size()) << t.Text();
    EXPECT_EQ(Question(kE2ETitle), Boxes(t)[0]);
    EXPECT_NE(nullptr, t.windows[0].Control(IDOK));
    EXPECT_NE(nullptr, t.windows[0].Control(IDCANCEL));
    EXPECT_EQ(Question(kE2ETitle), Boxes(t)[1]) << "OK while the game runs asks again";
    EXPECT_EQ(kE2ECaption, t.windows[2].caption) << "closed, then OK: the dialog";
    EXPECT_EQ(0u, t.exitCode);
}

TEST_F(DialogTest, CancelWhileTheGameRunsBringsItToTheFront) {
    GameWindow game("StartGameWindow", kE2ETitle);
    Transcript t = Run(Patch(), {"Cancel"});
    ASSERT_EQ(1u, t.windows.size()) << t.Text();
    EXPECT_EQ(0u, t.exitCode);
    EXPECT_EQ(game.window, GetForegroundWindow());
}

TEST_F(DialogTest, SecondTitleAndTheInstalledGamesClass) {
    {
        GameWindow game("StartGameWindow", "始動テストA");
        Transcript t = Run(Patch("GameTitleA=始動テストA\r\n"), {"Cancel"});
        EXPECT_EQ(std::vector<std::string>({Question("始動テストA")}), Boxes(t)) << t.Text();
    }
    // SETUP.INI names another class: a window of UPDATE.INI's class is no game.
    WriteBytes(InstallFile("SETUP.INI"), Bytes(InstalledSetupIni("", "SetupGameClass")));
    {
        GameWindow other("StartGameWindow", kE2ETitle);
        Transcript t = Run(Patch(), {"click:2", "OK"});
        EXPECT_EQ(kE2ECaption, t.windows.at(0).caption) << t.Text();
    }
    {
        GameWindow game("SetupGameClass", kE2ETitle);
        Transcript t = Run(Patch(), {"Cancel"});
        EXPECT_EQ(std::vector<std::string>({Question(kE2ETitle)}), Boxes(t)) << t.Text();
    }
}

} // namespace
