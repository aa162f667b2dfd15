// The updater's start-up, end to end: each way a run stops before the dialog, as the user sees
// it, and the exit code.
#include <string>
#include <vector>

#include "e2e/e2e_fixture.h"

namespace {

class StartupTest : public UpdaterRunTest {
  protected:
    // A run that got through start-up shows the dialog; cancelling it ends with the aborted
    // message. Returns the boxes that came before the dialog.
    std::vector<std::string> BoxesBeforeCancelledDialog(const std::vector<PayloadFile>& files,
                                                        const std::vector<std::string>& before) {
        std::vector<std::string> script = before;
        script.push_back("Cancel");
        script.push_back("OK");
        Transcript t = Run(files, script);
        std::vector<std::string> boxes = Boxes(t);
        EXPECT_EQ(before.size() + 2, boxes.size()) << t.Text();
        EXPECT_EQ(0u, t.exitCode);
        if (boxes.size() < 2)
            return boxes;
        EXPECT_EQ(std::string(kE2ECaption) + "|アップデートが中断されました", boxes.back())
            << t.Text();
        EXPECT_EQ(kE2ECaption, t.windows[before.size()].caption) << "the dialog";
        boxes.resize(before.size());
        return boxes;
    }
};

TEST_F(StartupTest, EverythingInPlaceReachesTheDialog) {
    EXPECT_TRUE(BoxesBeforeCancelledDialog({{"UPDATE.INI", UpdateIniSetup()}}, {}).empty());
}

TEST_F(StartupTest, NoticeShowsItsLineBreaks) {
    std::vector<std::string> boxes = BoxesBeforeCancelledDialog(
        {{"UPDATE.INI", UpdateIniSetup("UpdateMessage=一行目\\n二行目\\\\n終\r\n")}}, {"OK"});
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ("UPDATE|一行目\r二行目\\\r終", boxes[0]);
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
        Run({{"UPDATE.INI", UpdateIniSetup("AgreementText=LICENSE.TXT\r\n")}}, {"OK", "OK"});
    EXPECT_EQ(std::vector<std::string>({"UPDATE|Can't Find File in Resource !!",
                                        "UPDATE|'LICENSE.TXT' not found at UPDATE.QV3"}),
              Boxes(t))
        << t.Text();
    EXPECT_EQ(0u, t.exitCode);
}

TEST_F(StartupTest, GameNotInstalled) {
    const char* message = "UPDATE|「始動テスト」がインストールされていません";
    DeleteInstallKey(kE2ECompany, kE2EGameDir);
    Transcript t = Run({{"UPDATE.INI", UpdateIniSetup()}}, {"OK"});
    EXPECT_EQ(std::vector<std::string>({message}), Boxes(t)) << "no key\n" << t.Text();
    EXPECT_EQ(0u, t.exitCode);

    key.writeInstMode = false;
    WriteInstallKey(key);
    t = Run({{"UPDATE.INI", UpdateIniSetup()}}, {"OK"});
    EXPECT_EQ(std::vector<std::string>({message}), Boxes(t)) << "no InstMode\n" << t.Text();
    EXPECT_EQ(0u, t.exitCode);
}

TEST_F(StartupTest, MissingDataPathIsNoObstacle) {
    DeleteInstallKey(kE2ECompany, kE2EGameDir);
    key.writeDataPath = false;
    WriteInstallKey(key);
    EXPECT_TRUE(BoxesBeforeCancelledDialog({{"UPDATE.INI", UpdateIniSetup()}}, {}).empty());
}

TEST_F(StartupTest, RegistryValuesWithoutTerminatorAreReadSafely) {
    // The install folder's name without its NUL still finds the folder.
    DeleteInstallKey(kE2ECompany, kE2EGameDir);
    key.terminateInstPath = false;
    WriteInstallKey(key);
    EXPECT_TRUE(BoxesBeforeCancelledDialog({{"UPDATE.INI", UpdateIniSetup()}}, {}).empty());

    // 260 bytes and no NUL do not fit the field: the game counts as not installed.
    DeleteInstallKey(kE2ECompany, kE2EGameDir);
    key.instPath = std::string(260, 'C');
    WriteInstallKey(key);
    Transcript t = Run({{"UPDATE.INI", UpdateIniSetup()}}, {"OK"});
    EXPECT_EQ(std::vector<std::string>({"UPDATE|「始動テスト」がインストールされていません"}),
              Boxes(t))
        << t.Text();
}

TEST_F(StartupTest, InstallFolderTooLongForSetupIniIsRefused) {
    DeleteInstallKey(kE2ECompany, kE2EGameDir);
    key.instPath = "C:\\" + std::string(250, 'd');
    WriteInstallKey(key);
    Transcript t = Run({{"UPDATE.INI", UpdateIniSetup()}}, {"OK"});
    ASSERT_EQ(1u, t.windows.size()) << t.Text();
    EXPECT_EQ("UPDATE|パスが長すぎます (258 バイトまで)：\r" + key.instPath + "\rSETUP.INI",
              Boxes(t)[0]);
    EXPECT_EQ(0u, t.exitCode);
}

TEST_F(StartupTest, NoSetupIniInTheInstallFolder) {
    DeleteFileA(InstallFile("SETUP.INI").c_str());
    Transcript t = Run({{"UPDATE.INI", UpdateIniSetup()}}, {"OK"});
    EXPECT_EQ(std::vector<std::string>(
                  {"UPDATE|インストール先に \"SETUP.INI\" ファイルが見つかりません"}),
              Boxes(t))
        << t.Text();
    EXPECT_EQ(0u, t.exitCode);
}

TEST_F(StartupTest, SetupIniThatFailsToLoad) {
    std::string broken = InstalledSetupIni();
    broken.replace(broken.find("Shortcuts=0"), 11, "Shortcuts=11");
    WriteBytes(InstallFile("SETUP.INI"), Bytes(broken));
    Transcript t = Run({{"UPDATE.INI", UpdateIniSetup()}}, {"OK"});
    EXPECT_EQ(std::vector<std::string>({"INSTCMMN|SETUP.INI : Shortcuts オーバー"}), Boxes(t))
        << t.Text();
    EXPECT_EQ(0u, t.exitCode);

    WriteBytes(InstallFile("SETUP.INI"), Bytes("[SETUP]\r\nCompanyName=E2ESoft\r\n"));
    t = Run({{"UPDATE.INI", UpdateIniSetup()}}, {"OK"});
    EXPECT_EQ(std::vector<std::string>({"INSTCMMN|SETUP.INI : GameTitle キーが存在しません"}),
              Boxes(t))
        << t.Text();
    EXPECT_EQ(0u, t.exitCode);
}

TEST_F(StartupTest, DamagedPayload) {
    std::vector<uint8_t> payload = MakePayload({{"UPDATE.INI", UpdateIniSetup()}});
    payload.resize(payload.size() - 3); // the compressed index loses its end
    Transcript t = RunExe(MakeUpdater(folder.path, &payload), {"OK"});
    EXPECT_EQ(std::vector<std::string>({"UPDATE|RESOURCE READ ERROR"}), Boxes(t)) << t.Text();
    EXPECT_EQ(0u, t.exitCode);
}

TEST_F(StartupTest, PayloadWithoutUpdateIni) {
    Transcript t = Run({{"OTHER.INI", UpdateIniSetup()}}, {"OK"});
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
