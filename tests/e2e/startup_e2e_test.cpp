// The updater's start-up, end to end: each way a run stops before the dialog, as the user sees
// it, and the exit code.
#include <functional>
#include <string>
#include <vector>

#include "e2e/e2e_fixture.h"

namespace {

const char kNotInstalled[] = "UPDATE|「始動テスト」がインストールされていません";

struct Case {
    const char* what;
    std::function<void()> lay;      // changes to the installed game and its key; null: none
    std::vector<PayloadFile> files; // empty: no payload at all
    // The boxes before the dialog, or, without it, all the boxes the run showed.
    std::vector<std::string> boxes;
    bool dialog = false;
};

class StartupTest : public UpdaterRunTest {
  protected:
    // Each case from the game as installed, the key rewritten after the case's changes.
    void RunCase(const Case& c, const std::vector<uint8_t>* payload = nullptr) {
        DeleteInstallKey(kE2ECompany, kE2EGameDir);
        key = InstallKey();
        UpdaterRunTest::SetUp();
        if (c.lay) {
            c.lay();
            DeleteInstallKey(kE2ECompany, kE2EGameDir);
            if (!key.company.empty())
                WriteInstallKey(key);
        }
        std::vector<uint8_t> made;
        if (!payload && !c.files.empty()) {
            made = MakePayload(c.files);
            payload = &made;
        }
        // A box is answered OK; the dialog is cancelled, which ends with the aborted message.
        std::vector<std::string> script(c.boxes.size(), "OK");
        if (c.dialog)
            script.insert(script.end(), {"Cancel", "OK"});
        Transcript t = RunExe(MakeUpdater(folder.path, payload), script);
        std::vector<std::string> boxes = Boxes(t);
        EXPECT_EQ(0u, t.exitCode) << c.what;
        if (c.dialog) {
            ASSERT_EQ(c.boxes.size() + 2, boxes.size()) << c.what << "\n" << t.Text();
            EXPECT_EQ(kE2ECaption, t.windows[c.boxes.size()].caption) << c.what << ": the dialog";
            EXPECT_EQ(std::string(kE2ECaption) + "|アップデートが中断されました", boxes.back())
                << c.what;
            boxes.resize(c.boxes.size());
        }
        EXPECT_EQ(c.boxes, boxes) << c.what << "\n" << t.Text();
    }
};

TEST_F(StartupTest, EachWayToTheDialog) {
    const std::vector<PayloadFile> plain = {{"UPDATE.INI", UpdateIniSetup()}};
    const Case cases[] = {
        {"everything in place", nullptr, plain, {}, true},
        {"a notice shows its line breaks",
         nullptr,
         {{"UPDATE.INI", UpdateIniSetup("UpdateMessage=一行目\\n二行目\\\\n終\r\n")}},
         {"UPDATE|一行目\r二行目\\\r終"},
         true},
        {"no data path", [&] { key.writeDataPath = false; }, plain, {}, true},
        // The install folder's name without its NUL still finds the folder.
        {"an install path without its terminator",
         [&] { key.terminateInstPath = false; },
         plain,
         {},
         true},
    };
    for (const Case& c : cases)
        RunCase(c);
}

TEST_F(StartupTest, EachWayToStopBeforeTheDialog) {
    const std::vector<PayloadFile> plain = {{"UPDATE.INI", UpdateIniSetup()}};
    auto setupIni = [&](const std::string& text) {
        return [this, text] { WriteText(InstallFile("SETUP.INI"), text); };
    };
    std::string shortcuts = InstalledSetupIni();
    shortcuts.replace(shortcuts.find("Shortcuts=0"), 11, "Shortcuts=11");
    const std::string tooLong = "C:\\" + std::string(250, 'd');
    const Case cases[] = {
        // GameDir and what follows are not read: one box only.
        {"no GameClass",
         nullptr,
         {{"UPDATE.INI", "[SETUP]\r\nCompanyName=E2ESoft\r\nGameTitle=x\r\n"}},
         {"INSTCMMN|SETUP : GameClass キーが存在しません"}},
        {"an empty CompanyName",
         nullptr,
         {{"UPDATE.INI", "[SETUP]\r\nCompanyName=\r\nGameTitle=x\r\nGameClass=y\r\nGameDir=z\r\n"}},
         {"INSTCMMN|SETUP : CompanyName キーが存在しません"}},
        {"no [SETUP] section",
         nullptr,
         {{"UPDATE.INI", "[OTHER]\r\nCompanyName=E2ESoft\r\n"}},
         {"INSTCMMN|SETUP : CompanyName キーが存在しません"}},
        {"an agreement naming no entry",
         nullptr,
         {{"UPDATE.INI", UpdateIniSetup("AgreementText=LICENSE.TXT\r\n")}},
         {"UPDATE|Can't Find File in Resource !!", "UPDATE|'LICENSE.TXT' not found at UPDATE.QV3"}},
        {"no install key", [&] { key.company.clear(); }, plain, {kNotInstalled}},
        {"no InstMode", [&] { key.writeInstMode = false; }, plain, {kNotInstalled}},
        // 260 bytes and no NUL do not fit the field: the game counts as not installed.
        {"an install path too long for its field",
         [&] { key.instPath = std::string(260, 'C'); },
         plain,
         {kNotInstalled}},
        {"an install folder too long for SETUP.INI",
         [&] { key.instPath = tooLong; },
         plain,
         {"UPDATE|パスが長すぎます (258 バイトまで)：\r" + tooLong + "\rSETUP.INI"}},
        {"no SETUP.INI in the install folder",
         [&] { DeleteFileA(InstallFile("SETUP.INI").c_str()); },
         plain,
         {"UPDATE|インストール先に \"SETUP.INI\" ファイルが見つかりません"}},
        {"a SETUP.INI with too many shortcuts",
         setupIni(shortcuts),
         plain,
         {"INSTCMMN|SETUP.INI : Shortcuts オーバー"}},
        {"a SETUP.INI without GameTitle",
         setupIni("[SETUP]\r\nCompanyName=E2ESoft\r\n"),
         plain,
         {"INSTCMMN|SETUP.INI : GameTitle キーが存在しません"}},
        {"a payload without UPDATE.INI",
         nullptr,
         {{"OTHER.INI", UpdateIniSetup()}},
         {"UPDATE|Can't Find File in Resource !!"}},
        {"no payload: nothing shown", nullptr, {}, {}},
    };
    for (const Case& c : cases)
        RunCase(c);
    std::vector<uint8_t> payload = MakePayload(plain);
    payload.resize(payload.size() - 3); // the compressed index loses its end
    RunCase({"a damaged payload", nullptr, plain, {"UPDATE|RESOURCE READ ERROR"}}, &payload);
}

} // namespace
