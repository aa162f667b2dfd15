// What the elevated updater must withstand and what it must show, end to end: a temporary
// folder other programs can write to, the two identities of the game, the licence page's edge
// cases.
#include <string>
#include <vector>

#include "e2e/e2e_fixture.h"
#include "e2e/game_window.h"

namespace {

class HardeningTest : public UpdaterRunTest {
  protected:
    std::vector<PayloadFile> Patch(const std::string& setupExtra = "") {
        return {{"UPDATE.INI", UpdateIniSetup(setupExtra) + "[UPDATE]\r\nUpdateFile00=a.dat\r\n"},
                {"a.dat", "patched a"}};
    }
};

// The names the updater once used for its temporary UPDATE.INI, planted before it starts: a
// folder holding another program's UPDATE.INI, a plain file where the folder would go, and a
// link to another folder that holds an UPDATE.INI.
TEST_F(HardeningTest, ThingsPlantedAtPredictableNamesChangeNothing) {
    const std::vector<uint8_t> payload = MakePayload(Patch());
    const std::string exe = MakeUpdater(folder.path, &payload);
    const std::vector<uint8_t> foreign = Bytes("[SETUP]\r\nCompanyName=Other\r\n");
    enum { kFolder, kPlainFile, kLink };
    for (int planting = kFolder; planting <= kLink; ++planting) {
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        std::string commandLine = "\"" + exe + "\"";
        ASSERT_TRUE(CreateProcessA(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE,
                                   CREATE_SUSPENDED, nullptr, nullptr, &si, &pi));
        char name[32];
        wsprintfA(name, "UPDATE.%08lX", (unsigned long)pi.dwProcessId);
        const std::string planted = TemporaryFolder() + name;
        ScratchFolder elsewhere; // what the link points at
        const std::string foreignIni =
            planting == kLink ? elsewhere.File("UPDATE.INI") : planted + "\\UPDATE.INI";
        if (planting == kPlainFile) {
            WriteBytes(planted, Bytes("not a folder"));
        } else if (planting == kFolder) {
            CreateDirectoryA(planted.c_str(), nullptr);
            WriteBytes(foreignIni, foreign);
        } else {
            WriteBytes(foreignIni, foreign);
            EXPECT_TRUE(MakeLink(planted, elsewhere.path)) << "no link could be made here";
        }
        WriteBytes(TemporaryFolder() + "UPDATE.INI", Bytes("another program's"));
        ResumeThread(pi.hThread);
        Transcript t = DriveProcess(pi, {"Cancel", "OK"}, ShotName());

        EXPECT_FALSE(t.windows.empty()) << "the updater ended without a word";
        if (!t.windows.empty()) {
            EXPECT_EQ(kE2ECaption, t.windows[0].caption) << t.Text();
        }
        EXPECT_EQ(0u, t.exitCode);
        EXPECT_EQ(Bytes("another program's"), ReadBytes(TemporaryFolder() + "UPDATE.INI"));
        if (planting == kPlainFile) {
            EXPECT_EQ(Bytes("not a folder"), ReadBytes(planted));
            DeleteFileA(planted.c_str());
        } else {
            EXPECT_EQ(foreign, ReadBytes(foreignIni))
                << "another folder's UPDATE.INI was overwritten or deleted (planting " << planting
                << ")";
            if (planting == kLink) {
                EXPECT_TRUE(RemoveLink(planted));
            } else {
                DeleteFileA(foreignIni.c_str());
                RemoveDirectoryA(planted.c_str());
            }
        }
        DeleteFileA((TemporaryFolder() + "UPDATE.INI").c_str());
        EXPECT_TRUE(LeftoverRunFolders().empty());
    }
}

// What another program of the same user tried while the dialog was open.
struct Attempts {
    size_t runFolders = 0;
    bool opened = false, deleted = false, renamed = false, folderRenamed = false;
} g_attempts;

void TryToChangeUpdateIni(size_t index, const WindowRecord&) {
    if (index != 0)
        return;
    const std::vector<std::string> folders = LeftoverRunFolders();
    g_attempts.runFolders = folders.size();
    if (folders.size() != 1)
        return;
    const std::string folder = TemporaryFolder() + folders[0];
    const std::string ini = folder + "\\UPDATE.INI";
    HANDLE h = CreateFileA(ini.c_str(), GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        g_attempts.opened = true;
        const char evil[] = "[UPDATE]\r\nUpdateFile00=..\\..\\A.DAT\r\n";
        DWORD put;
        SetFilePointer(h, 0, nullptr, FILE_END);
        WriteFile(h, evil, sizeof evil - 1, &put, nullptr);
        CloseHandle(h);
    }
    g_attempts.deleted = DeleteFileA(ini.c_str()) != 0;
    g_attempts.renamed = MoveFileA(ini.c_str(), (folder + "\\MOVED.INI").c_str()) != 0;
    g_attempts.folderRenamed = MoveFileA(folder.c_str(), (folder + "-moved").c_str()) != 0;
}

TEST_F(HardeningTest, NoOtherProcessCanChangeUpdateIniWhileTheDialogIsOpen) {
    g_attempts = Attempts();
    WriteBytes(InstallFile("a.dat"), Bytes("old a"));
    Transcript t = Run(Patch(), {"click:1", "click:1", "click:1"}, TryToChangeUpdateIni);
    EXPECT_EQ(1u, g_attempts.runFolders);
    EXPECT_FALSE(g_attempts.opened) << "opened for writing";
    EXPECT_FALSE(g_attempts.deleted);
    EXPECT_FALSE(g_attempts.renamed);
    EXPECT_FALSE(g_attempts.folderRenamed);
    EXPECT_EQ(1u, t.exitCode) << t.Text();
    EXPECT_EQ(Bytes("patched a"), ReadBytes(InstallFile("a.dat")));
}

// UPDATE.INI and SETUP.INI name the game differently: the registry key and the not-installed
// message go by UPDATE.INI, the caption and the running-game question by SETUP.INI.
TEST_F(HardeningTest, EachIdentityIsUsedWhereItBelongs) {
    WriteBytes(InstallFile("SETUP.INI"),
               Bytes("[SETUP]\r\nCompanyName=SetupSideSoft\r\nGameTitle=設定側の題\r\n"
                     "GameDir=SetupSideDir\r\nGameExe=game.exe\r\nUninstExe=uninst.exe\r\n"
                     "SetupBmp=setup.bmp\r\nInstallSelects=1\r\nInstallTitle0=標準\r\n"
                     "InstallFiles0=game.dat\r\nShortcuts=0\r\nGameClass=SetupSideClass\r\n"));
    const std::vector<PayloadFile> files = {
        {"UPDATE.INI", "[SETUP]\r\nCompanyName=E2ESoft\r\nGameTitle=更新側の題\r\n"
                       "GameClass=UpdateSideClass\r\nGameDir=StartGame\r\n"}};
    const std::string caption = "設定側の題 アップデータ ";
    {
        // A window of UPDATE.INI's class and title is not the game.
        GameWindow other("UpdateSideClass", "更新側の題");
        Transcript t = Run(files, {"Cancel", "OK"});
        ASSERT_EQ(2u, t.windows.size()) << t.Text();
        EXPECT_EQ(caption, t.windows[0].caption) << "the key was found by UPDATE.INI's names";
        EXPECT_EQ(caption + "|アップデートが中断されました", Boxes(t)[1]);
    }
    {
        GameWindow game("SetupSideClass", "設定側の題");
        Transcript t = Run(files, {"Cancel"});
        ASSERT_EQ(1u, t.windows.size()) << t.Text();
        EXPECT_EQ(caption +
                      "|「設定側の題」が実行中です。アップデートを続行する場合はゲームを終了"
                      "してから [OK] を、アップデートを中止する場合は [キャンセル] を押して下さい",
                  Boxes(t)[0]);
        EXPECT_EQ("none", t.windows[0].icon);
    }
    DeleteInstallKey(kE2ECompany, kE2EGameDir);
    Transcript t = Run(files, {"OK"});
    EXPECT_EQ(std::vector<std::string>({"UPDATE|「更新側の題」がインストールされていません"}),
              Boxes(t))
        << t.Text();
    EXPECT_EQ("stop", t.windows.at(0).icon);
}

TEST_F(HardeningTest, EmptyAgreementEntryAndEmptyAgreementKey) {
    Transcript t =
        Run({{"UPDATE.INI", UpdateIniSetup("AgreementText=EMPTY.TXT\r\n")}, {"EMPTY.TXT", ""}},
            {"Cancel", "OK"});
    ASSERT_EQ(2u, t.windows.size()) << t.Text();
    const WindowRecord& page = t.windows[0];
    const ControlRecord* box = page.Control(1000);
    ASSERT_NE(nullptr, box) << "template 101 has the licence box\n" << t.Text();
    EXPECT_TRUE(box->visible);
    EXPECT_EQ("", box->text);
    ASSERT_NE(nullptr, page.Control(1003));
    EXPECT_EQ(1, page.Control(1003)->checked);
    EXPECT_FALSE(page.Control(1)->enabled) << "次へ waits for 同意する";
    ASSERT_NE(nullptr, page.Control(1004));
    EXPECT_FALSE(page.Control(1004)->visible) << "the progress bar shows only while working";

    t = Run({{"UPDATE.INI", UpdateIniSetup("AgreementText=\r\n")}}, {"Cancel", "OK"});
    ASSERT_EQ(2u, t.windows.size()) << t.Text();
    EXPECT_EQ(nullptr, t.windows[0].Control(1000)) << "template 100\n" << t.Text();
    EXPECT_TRUE(t.windows[0].Control(1)->enabled);
    ASSERT_NE(nullptr, t.windows[0].Control(1004));
    EXPECT_FALSE(t.windows[0].Control(1004)->visible);
    EXPECT_EQ(0u, t.exitCode);
}

} // namespace
