#include "e2e/e2e_fixture.h"

std::string InstalledSetupIni(const std::string& extra, const std::string& gameClass) {
    return "[SETUP]\r\n"
           "CompanyName=E2ESoft\r\n"
           "GameTitle=始動テスト\r\n"
           "GameDir=StartGame\r\n"
           "GameExe=game.exe\r\n"
           "UninstExe=uninst.exe\r\n"
           "SetupBmp=setup.bmp\r\n"
           "InstallSelects=1\r\n"
           "InstallTitle0=標準\r\n"
           "InstallFiles0=game.dat\r\n"
           "Shortcuts=0\r\n"
           "GameClass=" +
           gameClass + "\r\n" + extra;
}

std::string UpdateIniSetup(const std::string& extra) {
    return "[SETUP]\r\n"
           "CompanyName=E2ESoft\r\n"
           "GameTitle=始動テスト\r\n"
           "GameClass=StartGameWindow\r\n"
           "GameDir=StartGame\r\n" +
           extra;
}

void UpdaterRunTest::SetUp() {
    install = folder.File("game");
    CreateDirectoryA(install.c_str(), nullptr);
    WriteBytes(InstallFile("SETUP.INI"), Bytes(InstalledSetupIni()));
    key.company = kE2ECompany;
    key.gameDir = kE2EGameDir;
    key.instPath = install;
    key.dataPath = install + "\\data";
    key.instMode = 1;
    WriteInstallKey(key);
}

void UpdaterRunTest::TearDown() {
    DeleteInstallKey(kE2ECompany, kE2EGameDir);
}

std::string UpdaterRunTest::ShotName(const char* suffix) {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string(info->test_suite_name()) + "-" + info->name() + suffix;
}

Transcript UpdaterRunTest::Run(const std::vector<PayloadFile>& files,
                               const std::vector<std::string>& script, StepHook hook) {
    const std::vector<uint8_t> payload = MakePayload(files);
    return RunExe(MakeUpdater(folder.path, &payload), script, hook);
}

Transcript UpdaterRunTest::RunExe(const std::string& exe, const std::vector<std::string>& script,
                                  StepHook hook) {
    EXPECT_FALSE(exe.empty()) << "could not prepare UPDATE.exe";
    Transcript t = RunAndAnswer(exe, script, ShotName(), hook);
    EXPECT_TRUE(t.started);
    EXPECT_FALSE(t.timedOut) << t.Text();
    EXPECT_TRUE(LeftoverRunFolders().empty()) << "the temporary UPDATE.INI was left behind";
    // Every error box shows the stop icon with its one OK button; the two questions (OK and
    // Cancel) show none.
    for (const WindowRecord& w : t.windows) {
        if (!w.IsMessageBox())
            continue;
        const bool question = w.Control(IDCANCEL) != nullptr;
        EXPECT_EQ(question ? "none" : "stop", w.icon) << w.caption << "|" << w.StaticText();
    }
    return t;
}

std::vector<std::string> UpdaterRunTest::Boxes(const Transcript& t) {
    std::vector<std::string> boxes;
    for (const WindowRecord& w : t.windows)
        boxes.push_back(w.caption + "|" + w.StaticText());
    return boxes;
}

void CopyTree(const std::string& from, const std::string& to, uint64_t time) {
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((from + "\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return;
    do {
        const std::string name = fd.cFileName;
        if (name == "." || name == "..")
            continue;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            CreateDirectoryA((to + "\\" + name).c_str(), nullptr);
            CopyTree(from + "\\" + name, to + "\\" + name, time);
        } else {
            WriteBytes(to + "\\" + name, ReadBytes(from + "\\" + name));
            if (time)
                SetWriteTime(to + "\\" + name, time);
        }
    } while (FindNextFileA(h, &fd));
    FindClose(h);
}
