// The run's own folder for UPDATE.INI: a name nobody can guess or prepare, a file nobody can
// change while the run holds it, and a clean-up that removes nothing it did not make.
#include <windows.h>

#include <gtest/gtest.h>
#include <ntsecapi.h>
#include <string.h>

#include <string>
#include <vector>

#include "app/run_folder.h"
#include "archive/archive.h"
#include "archive/archive_format.h"
#include "core/messages.h"
#include "core/profile.h"
#include "payload/archive_writer.h"
#include "win/win_test_support.h"

namespace {

const char kIni[] = "[SETUP]\r\nCompanyName=RunFolderSoft\r\nGameTitle=x\r\n";

std::vector<uint8_t> IniPayload(const std::string& ini) {
    std::vector<ArchiveInput> entries = {ArchiveInput{
        "UPDATE.INI", (const uint8_t*)ini.data(), ini.size(), 0x01D9000000000000ull, true, true}};
    std::vector<uint8_t> image;
    std::string error;
    EXPECT_EQ(1, BuildArchive(entries, kIndexCompressed | kIndexScrambled, &image, &error));
    return image;
}

// The random draws the run folder's name is made of: each draw fills its buffer with the next
// byte given, then the platform's generator takes over.
std::vector<uint8_t> DrawBytes;
size_t DrawCount = 0;
BOOLEAN WINAPI ScriptedRandom(PVOID buffer, ULONG size) {
    if (DrawCount < DrawBytes.size()) {
        memset(buffer, DrawBytes[DrawCount++], size);
        return TRUE;
    }
    ++DrawCount;
    return RtlGenRandom(buffer, size);
}

std::string NameOfDraw(uint8_t byte) {
    char digits[3];
    wsprintfA(digits, "%02X", byte);
    std::string name = "UPDATE.";
    for (int i = 0; i < 16; ++i)
        name += digits;
    return name;
}

class RunFolderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ShownMessages.clear();
        DrawBytes.clear();
        DrawCount = 0;
        ASSERT_EQ(1, LoadPayload(IniPayload(kIni)));
    }
    void TearDown() override {
        ReleaseRunFolder();
        CloseArchive();
    }
    SavedOps saved;
};

TEST_F(RunFolderTest, EachRunGetsANewFolderOfARandomName) {
    ASSERT_EQ(1, CreateRunFolder());
    const std::string first = RunFolderPath();
    const std::string name = first.substr(first.rfind('\\') + 1);
    ASSERT_EQ(39u, name.size()) << name;
    EXPECT_EQ(0u, name.find("UPDATE."));
    EXPECT_EQ(std::string::npos, name.find_first_not_of("0123456789ABCDEF", 7)) << name;
    EXPECT_EQ(first + "\\UPDATE.INI", std::string(UpdateIniPath));
    EXPECT_EQ((DWORD)FILE_ATTRIBUTE_DIRECTORY,
              GetFileAttributesA(first.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    ReleaseRunFolder();
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(first.c_str()));
    EXPECT_EQ("", std::string(UpdateIniPath));

    ASSERT_EQ(1, CreateRunFolder());
    EXPECT_NE(first, std::string(RunFolderPath())) << "the name must not repeat";
    EXPECT_TRUE(ShownMessages.empty());
}

TEST_F(RunFolderTest, AnythingPlantedAtTheNameDrawnIsPassedOverAndLeftAsItWas) {
    DirectOps.RandomBytes = ScriptedRandom;
    const std::string temp = TemporaryFolder();
    ScratchFolder target; // what a planted link points at
    WriteBytes(target.File("UPDATE.INI"), {'m', 'i', 'n', 'e'});
    const std::string folder = temp + NameOfDraw(0x11), file = temp + NameOfDraw(0x22),
                      link = temp + NameOfDraw(0x33);
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    WriteBytes(folder + "\\UPDATE.INI", {'o', 'l', 'd'});
    WriteBytes(file, {'f'});
    const bool linked = MakeLink(link, target.path);
    DrawBytes = {0x11, 0x22, 0x33, 0x44};

    ASSERT_EQ(1, CreateRunFolder());
    EXPECT_EQ(temp + NameOfDraw(linked ? 0x44 : 0x33), std::string(RunFolderPath()));
    ASSERT_EQ(1, PlaceUpdateIni());
    ReleaseRunFolder();

    EXPECT_EQ(std::vector<uint8_t>({'o', 'l', 'd'}), ReadBytes(folder + "\\UPDATE.INI"));
    EXPECT_EQ(std::vector<uint8_t>({'f'}), ReadBytes(file));
    EXPECT_EQ(std::vector<uint8_t>({'m', 'i', 'n', 'e'}), ReadBytes(target.File("UPDATE.INI")));
    EXPECT_TRUE(ShownMessages.empty());
    ScratchFolder::RemoveContents(folder);
    RemoveDirectoryA(folder.c_str());
    DeleteFileA(file.c_str());
    EXPECT_TRUE(linked) << "no link could be made here";
    EXPECT_EQ((DWORD)FILE_ATTRIBUTE_REPARSE_POINT,
              GetFileAttributesA(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);
    EXPECT_TRUE(RemoveLink(link));
}

TEST_F(RunFolderTest, NoNewNameAfterEveryAttemptIsAClearMessage) {
    DirectOps.RandomBytes = ScriptedRandom;
    const std::string temp = TemporaryFolder();
    const std::string planted = temp + NameOfDraw(0x5A);
    ASSERT_TRUE(CreateDirectoryA(planted.c_str(), nullptr));
    DrawBytes.assign(kRunFolderAttempts, 0x5A);
    EXPECT_EQ(0, CreateRunFolder());
    EXPECT_EQ((size_t)kRunFolderAttempts, DrawCount) << "a bounded number of names is tried";
    EXPECT_EQ(std::vector<std::string>(
                  {"UPDATE|一時フォルダに作業用のフォルダを作成できません：\r" + temp}),
              ShownMessages);
    EXPECT_EQ("", std::string(UpdateIniPath));
    EXPECT_EQ("", std::string(RunFolderPath()));
    RemoveDirectoryA(planted.c_str());

    // The generator failing is no reason to fall back on a name someone could guess.
    ShownMessages.clear();
    DirectOps.RandomBytes = [](PVOID, ULONG) -> BOOLEAN { return FALSE; };
    EXPECT_EQ(0, CreateRunFolder());
    EXPECT_EQ(std::vector<std::string>(
                  {"UPDATE|一時フォルダに作業用のフォルダを作成できません：\r" + temp}),
              ShownMessages);
}

TEST_F(RunFolderTest, FailedQueryOfTheTemporaryFolderHasAMessageOfItsOwn) {
    DirectOps.GetTempPathA = [](DWORD, LPSTR) -> DWORD {
        SetLastError(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    };
    EXPECT_EQ(0, CreateRunFolder());
    EXPECT_EQ(std::vector<std::string>({"UPDATE|一時フォルダの場所を取得できません"}),
              ShownMessages);

    // A folder too long for the buffer is a path that is too long.
    ShownMessages.clear();
    DirectOps.GetTempPathA = [](DWORD, LPSTR) -> DWORD { return 300; };
    EXPECT_EQ(0, CreateRunFolder());
    ASSERT_EQ(1u, ShownMessages.size());
    EXPECT_EQ(0u, ShownMessages[0].find("UPDATE|パスが長すぎます")) << ShownMessages[0];
    EXPECT_EQ("", std::string(UpdateIniPath));
}

TEST_F(RunFolderTest, NoOtherHandleCanWriteRenameOrDeleteWhatTheRunHolds) {
    ASSERT_EQ(1, CreateRunFolder());
    ASSERT_EQ(1, PlaceUpdateIni());
    const std::string ini = UpdateIniPath, folder = RunFolderPath();
    EXPECT_EQ(std::vector<uint8_t>(kIni, kIni + sizeof kIni - 1), ReadBytes(ini));

    const DWORD sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE w = CreateFileA(ini.c_str(), GENERIC_WRITE, sharing, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(INVALID_HANDLE_VALUE, w) << "opened for writing";
    EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
    CloseHandle(w);
    HANDLE d = CreateFileA(ini.c_str(), DELETE, sharing, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(INVALID_HANDLE_VALUE, d) << "opened for deleting";
    CloseHandle(d);
    EXPECT_FALSE(DeleteFileA(ini.c_str()));
    EXPECT_FALSE(MoveFileExA(ini.c_str(), (folder + "\\OTHER.INI").c_str(), 0));
    ScratchFolder elsewhere;
    EXPECT_FALSE(MoveFileExA(folder.c_str(), elsewhere.File("moved").c_str(), 0))
        << "the folder could be renamed and a link put at its name";
    EXPECT_FALSE(RemoveDirectoryA(folder.c_str()));

    // The profile reader still reads it.
    char value[260];
    EXPECT_EQ(1, ReadUpdateValue("SETUP", "CompanyName", value, sizeof value));
    EXPECT_STREQ("RunFolderSoft", value);
    EXPECT_EQ(std::vector<uint8_t>(kIni, kIni + sizeof kIni - 1), ReadBytes(ini));
    EXPECT_TRUE(ShownMessages.empty());
}

// What another program could do between the extraction's last hold of the file and the run's
// open of it.
std::string Rewrite;
HANDLE WriterHandle = INVALID_HANDLE_VALUE;
bool Tampered = false;
BOOL WINAPI CloseThenTamper(HANDLE h) {
    char final[MAX_PATH] = "";
    GetFinalPathNameByHandleA(h, final, sizeof final, VOLUME_NAME_DOS);
    const BOOL closed = CloseHandle(h);
    const std::string to = UpdateIniPath;
    if (Tampered || to.empty() || strcmp(final + 4, to.c_str()) != 0)
        return closed;
    Tampered = true;
    if (!Rewrite.empty())
        WriteBytes(to, std::vector<uint8_t>(Rewrite.begin(), Rewrite.end()));
    else
        WriterHandle = CreateFileA(to.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, 0, nullptr);
    return closed;
}

TEST_F(RunFolderTest, AFileChangedOrHeldForWritingBeforeTheRunHoldsItStopsTheRun) {
    PlatformOps.CloseHandle = CloseThenTamper;
    const std::string message =
        "UPDATE|一時ファイルが他のプログラムに使用されているか、書き換えられています：\r";
    const char* rewrites[] = {"[SETUP]\r\nCompanyName=Other\r\n", "", kIni};
    for (const char* rewrite : rewrites) {
        // The same bytes written again change nothing the run reads: that one passes.
        const bool harmless = rewrite == kIni;
        ShownMessages.clear();
        Rewrite = rewrite;
        Tampered = false;
        ASSERT_EQ(1, CreateRunFolder());
        const std::string ini = UpdateIniPath;
        EXPECT_EQ(harmless ? 1 : 0, PlaceUpdateIni()) << "'" << rewrite << "'";
        if (harmless)
            EXPECT_TRUE(ShownMessages.empty());
        else
            EXPECT_EQ(std::vector<std::string>({message + ini}), ShownMessages);
        if (WriterHandle != INVALID_HANDLE_VALUE) {
            CloseHandle(WriterHandle);
            WriterHandle = INVALID_HANDLE_VALUE;
        }
        ReleaseRunFolder();
    }
}

TEST_F(RunFolderTest, AnExtractionThatFailsWithoutAWordGetsAMessage) {
    PlatformOps.WriteFile = [](HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) -> BOOL {
        SetLastError(ERROR_WRITE_FAULT);
        return FALSE;
    };
    ASSERT_EQ(1, CreateRunFolder());
    EXPECT_EQ(0, PlaceUpdateIni());
    EXPECT_EQ(std::vector<std::string>(
                  {"UPDATE|一時ファイルを書き込めません：\r" + std::string(UpdateIniPath)}),
              ShownMessages);

    // One that said why is not followed by a second box.
    ReleaseRunFolder();
    ShownMessages.clear();
    ASSERT_EQ(1, LoadPayload(IniPayload("")));
    CloseArchive(); // no index: the entry is not found
    ASSERT_EQ(1, CreateRunFolder());
    EXPECT_EQ(0, PlaceUpdateIni());
    EXPECT_EQ(std::vector<std::string>({"UPDATE|Can't Find File in Resource !!"}), ShownMessages);
}

TEST_F(RunFolderTest, CleanUpRemovesOnlyWhatTheRunMade) {
    const std::string temp = TemporaryFolder();
    // What the earlier scheme's fixed names would have hit.
    char pidName[32];
    wsprintfA(pidName, "UPDATE.%08lX", (unsigned long)GetCurrentProcessId());
    const std::string oldFolder = temp + pidName;
    ASSERT_TRUE(CreateDirectoryA(oldFolder.c_str(), nullptr));
    WriteBytes(oldFolder + "\\UPDATE.INI", {'x'});

    ASSERT_EQ(1, CreateRunFolder());
    ASSERT_EQ(1, PlaceUpdateIni());
    const std::string folder = RunFolderPath(), ini = UpdateIniPath;
    WriteBytes(folder + "\\FOREIGN.DAT", {'y'});
    ReleaseRunFolder();

    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(ini.c_str()));
    EXPECT_EQ(std::vector<uint8_t>({'y'}), ReadBytes(folder + "\\FOREIGN.DAT"))
        << "a file the run did not make was removed";
    EXPECT_EQ(std::vector<uint8_t>({'x'}), ReadBytes(oldFolder + "\\UPDATE.INI"));
    ScratchFolder::RemoveContents(folder);
    RemoveDirectoryA(folder.c_str());
    ScratchFolder::RemoveContents(oldFolder);
    RemoveDirectoryA(oldFolder.c_str());

    // Before the folder exists there is nothing to remove.
    ReleaseRunFolder();
    EXPECT_TRUE(ShownMessages.empty());
}

} // namespace
