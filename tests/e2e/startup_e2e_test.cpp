// The updater's start-up, end to end: each way a run stops before the dialog, as the user sees
// it, and the exit code.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/driver.h"
#include "e2e/updater_setup.h"
#include "win/win_test_support.h"

namespace {

const char kCompany[] = "E2ESoft";
const char kGameDir[] = "StartGame";

// What the companion installer leaves in the install folder.
const char kSetupIni[] = "[SETUP]\r\n"
                         "CompanyName=E2ESoft\r\n"
                         "GameTitle=始動テスト\r\n"
                         "GameDir=StartGame\r\n"
                         "GameExe=game.exe\r\n"
                         "UninstExe=uninst.exe\r\n"
                         "SetupBmp=setup.bmp\r\n"
                         "InstallSelects=1\r\n"
                         "InstallTitle0=標準\r\n"
                         "InstallFiles0=game.dat\r\n"
                         "Shortcuts=0\r\n";

std::string SetupSection(const std::string& extra = "") {
    return "[SETUP]\r\n"
           "CompanyName=E2ESoft\r\n"
           "GameTitle=始動テスト\r\n"
           "GameClass=StartGameWindow\r\n"
           "GameDir=StartGame\r\n" +
           extra;
}

class StartupTest : public ::testing::Test {
  protected:
    void SetUp() override {
        install = folder.File("game");
        CreateDirectoryA(install.c_str(), nullptr);
        WriteBytes(install + "\\SETUP.INI", Bytes(kSetupIni));
        key.company = kCompany;
        key.gameDir = kGameDir;
        key.instPath = install;
        key.dataPath = install + "\\data";
        key.instMode = 1;
        WriteInstallKey(key);
    }
    void TearDown() override { DeleteInstallKey(kCompany, kGameDir); }

    static std::vector<uint8_t> Bytes(const std::string& s) {
        return std::vector<uint8_t>(s.begin(), s.end());
    }

    Transcript Run(const std::vector<PayloadFile>& files, const std::vector<std::string>& script) {
        const std::vector<uint8_t> payload = MakePayload(files);
        return RunExe(MakeUpdater(folder.path, &payload), script);
    }
    Transcript RunExe(const std::string& exe, const std::vector<std::string>& script) {
        EXPECT_FALSE(exe.empty()) << "could not prepare UPDATE.exe";
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        Transcript t = RunAndAnswer(exe, script, std::string("startup-") + info->name());
        EXPECT_TRUE(t.started);
        EXPECT_FALSE(t.timedOut) << t.Text();
        EXPECT_TRUE(LeftoverRunFolders().empty()) << "the temporary UPDATE.INI was left behind";
        return t;
    }
    // The boxes the run showed, as "caption|text".
    static std::vector<std::string> Boxes(const Transcript& t) {
        std::vector<std::string> boxes;
        for (const WindowRecord& w : t.windows)
            boxes.push_back(w.caption + "|" + w.StaticText());
        return boxes;
    }

    ScratchFolder folder;
    std::string install;
    InstallKey key;
};

TEST_F(StartupTest, EverythingInPlaceEndsQuietly) {
    Transcript t = Run({{"UPDATE.INI", SetupSection()}}, {});
    EXPECT_TRUE(t.windows.empty()) << t.Text();
    EXPECT_EQ(0u, t.exitCode);
}

TEST_F(StartupTest, NoticeShowsItsLineBreaks) {
    Transcript t =
        Run({{"UPDATE.INI", SetupSection("UpdateMessage=一行目\\n二行目\\\\n終\r\n")}}, {"OK"});
    ASSERT_EQ(1u, t.windows.size()) << t.Text();
    EXPECT_EQ("UPDATE|一行目\r二行目\\\r終", Boxes(t)[0]);
    const ControlRecord* ok = t.windows[0].Control(IDOK);
    ASSERT_NE(nullptr, ok);
    EXPECT_TRUE(ok->enabled);
    EXPECT_EQ(0u, t.exitCode);
}

TEST_F(StartupTest, MissingOrEmptyRequiredKeyStopsAtTheFirst) {
    struct Case {
        std::string ini;
        const char* message;
    };
    const Case cases[] = {
        // GameDir and what follows are not read: one box only.
        {"[SETUP]\r\nCompanyName=E2ESoft\r\nGameTitle=x\r\n",
         "INSTCMMN|SETUP : GameClass キーが存在しません"},
        {"[SETUP]\r\nCompanyName=\r\nGameTitle=x\r\nGameClass=y\r\nGameDir=z\r\n",
         "INSTCMMN|SETUP : CompanyName キーが存在しません"},
        {"[OTHER]\r\nCompanyName=E2ESoft\r\n", "INSTCMMN|SETUP : CompanyName キーが存在しません"},
    };
    for (const Case& c : cases) {
        Transcript t = Run({{"UPDATE.INI", c.ini}}, {"OK"});
        EXPECT_EQ(std::vector<std::string>({c.message}), Boxes(t)) << t.Text();
        EXPECT_EQ(0u, t.exitCode);
    }
}

TEST_F(StartupTest, AgreementNamingNoEntryShowsTwoBoxes) {
    Transcript t =
        Run({{"UPDATE.INI", SetupSection("AgreementText=LICENSE.TXT\r\n")}}, {"OK", "OK"});
    EXPECT_EQ(std::vector<std::string>({"UPDATE|Can't Find File in Resource !!",
                                        "UPDATE|'LICENSE.TXT' not found at UPDATE.QV3"}),
              Boxes(t))
        << t.Text();
    EXPECT_EQ(0u, t.exitCode);
}

TEST_F(StartupTest, AgreementAndGreetingEntriesThatExistPass) {
    Transcript t = Run(
        {{"UPDATE.INI", SetupSection("AgreementText=LICENSE.TXT\r\nAgreementTitle=EMPTY.TXT\r\n")},
         {"LICENSE.TXT", "使用許諾"},
         {"EMPTY.TXT", ""}},
        {});
    EXPECT_TRUE(t.windows.empty()) << t.Text();
    EXPECT_EQ(0u, t.exitCode);
}

TEST_F(StartupTest, GameNotInstalled) {
    const char* message = "UPDATE|「始動テスト」がインストールされていません";
    DeleteInstallKey(kCompany, kGameDir);
    Transcript t = Run({{"UPDATE.INI", SetupSection()}}, {"OK"});
    EXPECT_EQ(std::vector<std::string>({message}), Boxes(t)) << "no key\n" << t.Text();
    EXPECT_EQ(0u, t.exitCode);

    key.writeInstMode = false;
    WriteInstallKey(key);
    t = Run({{"UPDATE.INI", SetupSection()}}, {"OK"});
    EXPECT_EQ(std::vector<std::string>({message}), Boxes(t)) << "no InstMode\n" << t.Text();
    EXPECT_EQ(0u, t.exitCode);
}

TEST_F(StartupTest, MissingDataPathIsNoObstacle) {
    DeleteInstallKey(kCompany, kGameDir);
    key.writeDataPath = false;
    WriteInstallKey(key);
    Transcript t = Run({{"UPDATE.INI", SetupSection()}}, {});
    EXPECT_TRUE(t.windows.empty()) << t.Text();
}

TEST_F(StartupTest, RegistryValuesWithoutTerminatorAreReadSafely) {
    // The install folder's name without its NUL still finds the folder.
    DeleteInstallKey(kCompany, kGameDir);
    key.terminateInstPath = false;
    WriteInstallKey(key);
    Transcript t = Run({{"UPDATE.INI", SetupSection()}}, {});
    EXPECT_TRUE(t.windows.empty()) << t.Text();

    // 260 bytes and no NUL do not fit the field: the game counts as not installed.
    DeleteInstallKey(kCompany, kGameDir);
    key.instPath = std::string(260, 'C');
    WriteInstallKey(key);
    t = Run({{"UPDATE.INI", SetupSection()}}, {"OK"});
    EXPECT_EQ(std::vector<std::string>({"UPDATE|「始動テスト」がインストールされていません"}),
              Boxes(t))
        << t.Text();
}

TEST_F(StartupTest, InstallFolderTooLongForSetupIniIsRefused) {
    DeleteInstallKey(kCompany, kGameDir);
    key.instPath = "C:\\" + std::string(250, 'd');
    WriteInstallKey(key);
    Transcript t = Run({{"UPDATE.INI", SetupSection()}}, {"OK"});
    ASSERT_EQ(1u, t.windows.size()) << t.Text();
    EXPECT_EQ("UPDATE|パスが長すぎます (258 バイトまで)：\r" + key.instPath + "\rSETUP.INI",
              Boxes(t)[0]);
    EXPECT_EQ(0u, t.exitCode);
}

TEST_F(StartupTest, NoSetupIniInTheInstallFolder) {
    DeleteFileA((install + "\\SETUP.INI").c_str());
    Transcript t = Run({{"UPDATE.INI", SetupSection()}}, {"OK"});
    EXPECT_EQ(std::vector<std::string>(
                  {"UPDATE|インストール先に \"SETUP.INI\" ファイルが見つかりません"}),
              Boxes(t))
        << t.Text();
    EXPECT_EQ(0u, t.exitCode);
}

TEST_F(StartupTest, SetupIniThatFailsToLoad) {
    std::string broken = kSetupIni;
    broken.replace(broken.find("Shortcuts=0"), 11, "Shortcuts=11");
    WriteBytes(install + "\\SETUP.INI", Bytes(broken));
    Transcript t = Run({{"UPDATE.INI", SetupSection()}}, {"OK"});
    EXPECT_EQ(std::vector<std::string>({"INSTCMMN|SETUP.INI : Shortcuts オーバー"}), Boxes(t))
        << t.Text();
    EXPECT_EQ(0u, t.exitCode);

    WriteBytes(install + "\\SETUP.INI", Bytes("[SETUP]\r\nCompanyName=E2ESoft\r\n"));
    t = Run({{"UPDATE.INI", SetupSection()}}, {"OK"});
    EXPECT_EQ(std::vector<std::string>({"INSTCMMN|SETUP.INI : GameTitle キーが存在しません"}),
              Boxes(t))
        << t.Text();
    EXPECT_EQ(0u, t.exitCode);
}

TEST_F(StartupTest, DamagedPayload) {
    std::vector<uint8_t> payload = MakePayload({{"UPDATE.INI", SetupSection()}});
    payload.resize(payload.size() - 3); // the compressed index loses its end
    Transcript t = RunExe(MakeUpdater(folder.path, &payload), {"OK"});
    EXPECT_EQ(std::vector<std::string>({"UPDATE|RESOURCE READ ERROR"}), Boxes(t)) << t.Text();
    EXPECT_EQ(0u, t.exitCode);
}

TEST_F(StartupTest, PayloadWithoutUpdateIni) {
    Transcript t = Run({{"OTHER.INI", SetupSection()}}, {"OK"});
    EXPECT_EQ(std::vector<std::string>({"UPDATE|Can't Find File in Resource !!"}), Boxes(t))
        << t.Text();
    EXPECT_EQ(0u, t.exitCode);
}

TEST_F(StartupTest, NoPayloadShowsNothing) {
    Transcript t = RunExe(MakeUpdater(folder.path, nullptr), {});
    EXPECT_TRUE(t.windows.empty()) << t.Text();
    EXPECT_EQ(0u, t.exitCode);
}

} // namespace
