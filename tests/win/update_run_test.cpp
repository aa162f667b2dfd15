#include "update/update_run.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/archive_format.h"
#include "core/profile.h"
#include "core/run_state.h"
#include "payload/archive_writer.h"
#include "settings/install_settings.h"
#include "win/tree_snapshot.h"
#include "win/win_test_support.h"

namespace {

const uint64_t kArchiveTime = 0x01D6000000000000ull; // in 2020

struct Entry {
    std::string name, bytes;
};
const std::vector<Entry> kEntries = {
    {"a.dat", "new a"},       {"b.dat", "new b"}, {"c.dat", "new c"}, {"save.dat", "new save"},
    {"over.dat", "new over"}, {"t.dat", "new t"}, {"empty.dat", ""}};

class UpdateRunTest : public UpdateRunFixture {
  protected:
    void SetUp() override {
        UpdateRunFixture::SetUp();
        Payload(kEntries);
    }

    // With features, the payload carries an integrity record that requires them.
    void Payload(const std::vector<Entry>& entries, uint32_t features = 0) {
        std::vector<ArchiveInput> inputs;
        for (const Entry& e : entries)
            inputs.push_back(ArchiveInput{e.name, (const uint8_t*)e.bytes.data(), e.bytes.size(),
                                          kArchiveTime, true, true});
        std::vector<uint8_t> image;
        std::string error;
        ArchiveOptions options(kIndexCompressed | kIndexScrambled, kCompressFast, false);
        options.integrity = features != 0;
        options.requiredFeatures = features;
        ASSERT_EQ(1, BuildArchiveWith(inputs, options, &image, &error));
        ASSERT_EQ(1, LoadPayload(image));
        ASSERT_EQ(1, CheckPayloadIntegrity());
    }
    void ExpectCompleted(const DialogOutcome& o) {
        EXPECT_EQ(99, o.result) << "the dialog stays open";
        EXPECT_EQ("アップデートは完了しました", o.info);
        EXPECT_EQ("完了", o.nextText);
        EXPECT_TRUE(o.nextEnabled);
        EXPECT_FALSE(o.backEnabled);
        EXPECT_FALSE(o.cancelEnabled);
    }
};

std::vector<uint64_t> CreationOnlyStamps;

BOOL WINAPI RecordCreationOnly(HANDLE h, const FILETIME* c, const FILETIME* a, const FILETIME* w) {
    if (c && !a && !w)
        CreationOnlyStamps.push_back(((uint64_t)c->dwHighDateTime << 32) | c->dwLowDateTime);
    return SetFileTime(h, c, a, w);
}

TEST_F(UpdateRunTest, EachWriteRule) {
    CreateDirectoryA((install + "\\sys").c_str(), nullptr);
    CreateDirectoryA((install + "\\bgm").c_str(), nullptr);
    CreateDirectoryA((install + "\\\x95\x5C").c_str(), nullptr); // a folder named 表
    WriteText(install + "\\sys\\b.dat", "newer b", kArchiveTime + 1);
    WriteText(install + "\\a.dat", "old a", kArchiveTime + 1);
    WriteText(data + "\\save.dat", "player's save");
    WriteText(install + "\\over.dat", "old over");
    const uint64_t saveMade = TimesOf(data + "\\save.dat").creation;
    CreationOnlyStamps.clear();
    DirectOps.SetFileTime = RecordCreationOnly;
    DialogOutcome o = Run("UpdateFile00=a.dat\r\n"
                          "UpdateFile01=u,sys\\b.dat\r\n"
                          "UpdateFile02=d,save.dat\r\n"
                          "UpdateFile03=o,over.dat\r\n"
                          "UpdateFile04=o,missing.dat\r\n"
                          "UpdateFile05=1,u,sys\\c.dat\r\n"
                          "UpdateFile06=bgm\\c.dat\r\n"
                          "UpdateFile07=2,a.dat\r\n"
                          "UpdateFile08=u,\x95\x5C\\t.dat\r\n");
    ExpectCompleted(o);
    EXPECT_TRUE(ShownMessages.empty()) << ShownMessages[0];
    EXPECT_EQ("new a", ReadText(install + "\\a.dat")) << "Always writes whatever the time";
    EXPECT_EQ("newer b", ReadText(install + "\\sys\\b.dat")) << "Update keeps a newer file";
    EXPECT_EQ("player's save", ReadText(data + "\\save.dat")) << "Data keeps the bytes";
    EXPECT_EQ(std::vector<uint64_t>({saveMade}), CreationOnlyStamps)
        << "the file written back keeps its creation time, as a re-created file does";
    EXPECT_EQ("new over", ReadText(install + "\\over.dat"));
    EXPECT_FALSE(PathExists(install + "\\missing.dat")) << "Overwrite needs a target";
    EXPECT_EQ("new c", ReadText(install + "\\sys\\c.dat"));
    EXPECT_EQ("new c", ReadText(install + "\\bgm\\c.dat")) << "two items share one entry";
    EXPECT_EQ("new t", ReadText(install + "\\\x95\x5C\\t.dat"));
    EXPECT_EQ(8, UpdateList.count) << "the item for mode 2 is not stored";
}

TEST_F(UpdateRunTest, DataFolderIsCreatedOneLevelDeep) {
    strcpy(UpdaterConfig.DataFolder, "patch");
    DialogOutcome o = Run("UpdateFile00=a.dat\r\nUpdateFile01=d,save.dat\r\n");
    ExpectCompleted(o);
    EXPECT_EQ("new a", ReadText(install + "\\patch\\a.dat"));
    EXPECT_EQ("new save", ReadText(data + "\\patch\\save.dat"))
        << "no data file: the archive's copy";
}

// Folders of an item's path are made only for a payload that asks for them; without, the write
// into a missing folder fails before anything is written.
TEST_F(UpdateRunTest, MissingSubfoldersAreCreatedWhenThePayloadAsks) {
    for (const uint32_t features : {0u, (uint32_t)PAYLOAD_FEATURE_NEW_FOLDERS}) {
        ScratchFolder::RemoveContents(install);
        WriteText(install + "\\a.dat", "old a");
        Payload(kEntries, features);
        ShownMessages.clear();
        DialogOutcome o = Run("UpdateFile00=a.dat\r\nUpdateFile01=new\\deeper\\b.dat\r\n");
        if (features) {
            ExpectCompleted(o);
            EXPECT_EQ("new b", ReadText(install + "\\new\\deeper\\b.dat"));
            continue;
        }
        EXPECT_EQ(-1, o.result);
        EXPECT_EQ(std::vector<std::string>({"UPDATE|ファイルの書き込みに失敗しました"}),
                  ShownMessages);
        EXPECT_EQ("old a", ReadText(install + "\\a.dat"));
        EXPECT_FALSE(PathExists(install + "\\new"));
    }
}

// Long lists, deletions and entries named by their folders, each read only from a payload that
// requires it.
TEST_F(UpdateRunTest, ExtensionsTheirPayloadRequires) {
    std::vector<Entry> entries = {{"bgm\\01.ogg", "new bgm"}, {"voice\\01.ogg", "new voice"}};
    std::string items;
    for (int i = 0; i < 20; ++i) {
        entries.push_back({"f" + std::to_string(i) + ".dat", "new"});
        char key[32];
        snprintf(key, sizeof key, "UpdateFile%02d=f%d.dat\r\n", i, i);
        items += key;
    }
    const std::string deletes = "DeleteFile00=old.dat\r\nDeleteFile01=sub\\ro.dat\r\n"
                                "DeleteFile02=never.dat\r\n";
    const uint32_t all =
        PAYLOAD_FEATURE_LONG_LISTS | PAYLOAD_FEATURE_DELETIONS | PAYLOAD_FEATURE_FOLDER_NAMES;
    for (const uint32_t features : {all, (uint32_t)PAYLOAD_FEATURE_FOLDER_NAMES}) {
        ScratchFolder::RemoveContents(install);
        CreateDirectoryA((install + "\\sub").c_str(), nullptr);
        CreateDirectoryA((install + "\\bgm").c_str(), nullptr);
        CreateDirectoryA((install + "\\voice").c_str(), nullptr);
        WriteText(install + "\\old.dat", "old");
        WriteText(install + "\\sub\\ro.dat", "read-only");
        SetFileAttributesA((install + "\\sub\\ro.dat").c_str(), FILE_ATTRIBUTE_READONLY);
        Payload(entries, features);
        ExpectCompleted(Run(items + deletes +
                            "UpdateFile20=bgm\\01.ogg\r\n"
                            "UpdateFile21=voice\\01.ogg\r\n"));
        const bool full = features == all;
        EXPECT_EQ(full, PathExists(install + "\\f19.dat")) << features;
        EXPECT_TRUE(PathExists(install + "\\f15.dat")) << features;
        EXPECT_EQ(!full, PathExists(install + "\\old.dat")) << features;
        EXPECT_EQ(!full, PathExists(install + "\\sub\\ro.dat")) << features;
        if (full) {
            EXPECT_EQ("new bgm", ReadText(install + "\\bgm\\01.ogg"));
            EXPECT_EQ("new voice", ReadText(install + "\\voice\\01.ogg"));
        }
    }
    // A delete that leads out of the game's folder, or names a folder, stops the run before
    // anything is written.
    const struct {
        const char* section;
        std::string message;
    } refused[] = {
        {"DeleteFile00=..\\x.dat\r\n",
         "UPDATE.INI : \"..\\x.dat\" はアップデート先のフォルダの外を指しています"},
        {"DeleteFile00=C:\\x.dat\r\n",
         "UPDATE.INI : \"C:\\x.dat\" はアップデート先のフォルダの外を指しています"},
        {"DeleteFile00=\\x.dat\r\n",
         "UPDATE.INI : \"\\x.dat\" はアップデート先のフォルダの外を指しています"},
        {"DeleteFile00=sub\r\n", "「" + install + "\\sub」はフォルダのため削除できません"},
    };
    Payload(entries, all);
    for (const auto& r : refused) {
        ShownMessages.clear();
        ScratchFolder::RemoveContents(install);
        CreateDirectoryA((install + "\\sub").c_str(), nullptr);
        DialogOutcome o = Run(std::string("UpdateFile00=f0.dat\r\n") + r.section);
        EXPECT_EQ(-1, o.result) << r.section;
        ASSERT_FALSE(ShownMessages.empty()) << r.section;
        EXPECT_EQ("UPDATE|" + r.message, ShownMessages[0]) << r.section;
        EXPECT_FALSE(PathExists(install + "\\f0.dat")) << r.section;
    }
}

TEST_F(UpdateRunTest, OverwriteOnlyWritesWhatIsThere) {
    WriteText(install + "\\a.dat", "old a");
    WriteText(data + "\\save.dat", "kept");
    DialogOutcome o = Run("OverwriteOnly=1\r\n"
                          "UpdateFile00=a.dat\r\n"
                          "UpdateFile01=b.dat\r\n"
                          "UpdateFile02=d,save.dat\r\n"
                          "UpdateFile03=d,c.dat\r\n");
    ExpectCompleted(o);
    EXPECT_EQ("new a", ReadText(install + "\\a.dat"));
    EXPECT_FALSE(PathExists(install + "\\b.dat"));
    EXPECT_EQ("kept", ReadText(data + "\\save.dat"));
    EXPECT_FALSE(PathExists(data + "\\c.dat"));
}

TEST_F(UpdateRunTest, OverwriteItemOverAFolderIsSkipped) {
    CreateDirectoryA((install + "\\over.dat").c_str(), nullptr);
    DialogOutcome o = Run("UpdateFile00=o,over.dat\r\nUpdateFile01=a.dat\r\n");
    ExpectCompleted(o); // the Overwrite item is skipped
}

BOOL WINAPI ShortRead(HANDLE file, LPVOID buffer, DWORD size, LPDWORD got, LPOVERLAPPED o) {
    return ReadFile(file, buffer, size / 2, got, o);
}

TEST_F(UpdateRunTest, VersionChecksComeBeforeAnyWrite) {
    WriteText(install + "\\game.exe", "exe");
    CreateDirectoryA((install + "\\bare").c_str(), nullptr);
    CreateDirectoryA((install + "\\marked").c_str(), nullptr);
    SetFileAttributesA((install + "\\marked").c_str(),
                       FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN);
    struct Case {
        const char* check;
        bool passes;
    };
    const Case cases[] = {
        {"e,game.exe", true}, {"E,missing.exe", false},   {"e,bare", false},
        {"e,marked", true},   {"3,e,missing.exe", false},
    };
    for (const Case& c : cases) {
        ShownMessages.clear();
        DeleteFileA((install + "\\a.dat").c_str());
        DialogOutcome o =
            Run(std::string("UpdateFile00=a.dat\r\nUpdateFile01=") + c.check + "\r\n");
        if (c.passes) {
            ExpectCompleted(o);
            EXPECT_TRUE(PathExists(install + "\\a.dat")) << c.check;
        } else {
            EXPECT_EQ(-1, o.result) << c.check;
            EXPECT_EQ(std::vector<std::string>(
                          {"UPDATE|アップデートエラー：アップデート対象のバージョンが違います"}),
                      ShownMessages)
                << c.check;
            EXPECT_FALSE(PathExists(install + "\\a.dat")) << c.check << ": nothing may be written";
        }
    }
    strcpy(UpdaterConfig.ExistErrorMessage, "バージョン1.00が必要です");
    ShownMessages.clear();
    EXPECT_EQ(-1, Run("UpdateFile00=e,missing.exe\r\n").result);
    EXPECT_EQ(std::vector<std::string>({"UPDATE|バージョン1.00が必要です"}), ShownMessages);
}

TEST_F(UpdateRunTest, ListsEndAtTheFirstGap) {
    DialogOutcome o =
        Run("UpdateFile00=a.dat\r\nUpdateFile01=b.dat\r\nUpdateFile02=\r\nUpdateFile03=c.dat\r\n");
    ExpectCompleted(o);
    EXPECT_TRUE(PathExists(install + "\\b.dat"));
    EXPECT_FALSE(PathExists(install + "\\c.dat")) << "keys after a gap are never read";
}

TEST_F(UpdateRunTest, NothingForThisInstallationCompletesGently) {
    WriteText(install + "\\game.exe", "exe");
    const char* sections[] = {
        "UpdateFile00=2,a.dat\r\nCopyFile00=3,1:movie\r\n", // every item for other modes
        "UpdateFile00=e,game.exe\r\n",                      // only a version check
    };
    for (const char* section : sections) {
        ShownMessages.clear();
        DialogOutcome o = Run(section);
        ExpectCompleted(o);
        EXPECT_EQ(
            std::vector<std::string>({"UPDATE|アップデートする必要のあるファイルはありません"}),
            ShownMessages)
            << section;
        EXPECT_FALSE(PathExists(install + "\\a.dat")) << section;
    }
}

TEST_F(UpdateRunTest, FreeSpaceCheck) {
    DirectOps.GetDiskFreeSpaceExA = FakeFreeSpace;
    struct Case {
        const char* required;
        uint64_t free;
        const char* shortfall; // null: enough
    };
    const Case cases[] = {
        {"1000", 1000, nullptr},
        {"1000", 999, "1"},
        {"6000000000", 1000000000, "5000000000"},
        {"5000000000", 5000000000ull, nullptr},
        {"-5", 1000, "4294966291"}, // a negative count, cut to 32 bits
    };
    const std::string drive = install.substr(0, 2);
    for (const Case& c : cases) {
        ShownMessages.clear();
        DeleteFileA((install + "\\a.dat").c_str());
        FakeFreeBytes = c.free;
        DialogOutcome o =
            Run(std::string("RequiredDiskSpace=") + c.required + "\r\nUpdateFile00=a.dat\r\n");
        if (!c.shortfall) {
            ExpectCompleted(o);
            continue;
        }
        EXPECT_EQ(99, o.result) << c.required;
        EXPECT_EQ("ディスク容量が足りません。\r" + drive + " ドライブに " + c.shortfall +
                      " バイトの空き容量が必要です",
                  o.info);
        EXPECT_TRUE(o.backEnabled);
        EXPECT_FALSE(o.nextEnabled);
        EXPECT_TRUE(o.cancelEnabled);
        EXPECT_FALSE(PathExists(install + "\\a.dat")) << "nothing read or written";
        EXPECT_TRUE(ShownMessages.empty());
    }
    // No number of bytes asked for: no check, even on a full disk (an empty entry still fits).
    FakeFreeBytes = 0;
    for (const char* none : {"", "0", "abc", "-0"}) {
        ExpectCompleted(
            Run(std::string("RequiredDiskSpace=") + none + "\r\nUpdateFile00=empty.dat\r\n"));
        EXPECT_TRUE(PathExists(install + "\\empty.dat")) << "'" << none << "'";
    }
    DialogOutcome shortage = Run("RequiredDiskSpace=1\r\nUpdateFile00=empty.dat\r\n");
    EXPECT_NE(std::string::npos, shortage.info.find(" 1 バイト")) << "one byte on a full disk";
    EXPECT_FALSE(shortage.nextEnabled);
    DirectOps.GetDiskFreeSpaceExA = [](LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER,
                                       PULARGE_INTEGER) -> BOOL { return FALSE; };
    ExpectCompleted(Run("RequiredDiskSpace=1000\r\nUpdateFile00=a.dat\r\n"));
}

BOOL WINAPI FailingWrite(HANDLE, LPCVOID, DWORD, LPDWORD written, LPOVERLAPPED) {
    *written = 0;
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

SIZE_T FailAllocOfSize = 0;
int AllocsBeforeFailing = 0;

HGLOBAL WINAPI AllocFailingAtSize(UINT flags, SIZE_T size) {
    if (size == FailAllocOfSize && AllocsBeforeFailing-- == 0)
        return nullptr;
    return GlobalAlloc(flags, size);
}

// Every run that stops, before its first write (a path that leads out of the installation, one
// too long, a list or item that cannot be read) or at a failed write, shows its own message,
// then the failed write's if it wrote, and leaves the game's and the player's folders exactly
// as they were.
TEST_F(UpdateRunTest, StoppedRunsLeaveEverythingAsItWas) {
    const std::string big(7777, 'g');
    std::vector<Entry> entries = kEntries;
    entries.push_back({"big.dat", big});
    Payload(entries);
    const std::string failed = "UPDATE|ファイルの書き込みに失敗しました";
    // The message goes on with the folder and the name, which the platform's tests cover.
    const std::string tooLong = "UPDATE|パスが長すぎます";
    auto outside = [](const std::string& named) {
        return "UPDATE|UPDATE.INI : \"" + named + "\" はアップデート先のフォルダの外を指しています";
    };
    auto failAlloc = [&](int before) {
        return [&big, before] {
            FailAllocOfSize = big.size();
            AllocsBeforeFailing = before;
            DirectOps.GlobalAlloc = AllocFailingAtSize;
        };
    };
    // The target itself fits, but not the temporary file written beside it first.
    const std::string roomless = std::string(250 - install.size() - 2, 'f');
    ASSERT_LE(install.size() + 1 + roomless.size() + 6, 258u);
    struct Case {
        const char* what;
        std::string section;
        std::vector<std::string> messages;
        std::function<void()> lay = nullptr; // beyond a.dat, big.dat and the save
    };
    const Case cases[] = {
        {"the staged file, the first file written, fails",
         "UpdateFile00=a.dat\r\n",
         {"UPDATE|「" + install + "\\a.dat」を書き込めません", failed},
         [] { PlatformOps.WriteFile = FailingWrite; }},
        {"no such entry",
         "UpdateFile00=none.dat\r\n",
         {"UPDATE|Can't Find File in Resource !!", failed}},
        {"no memory to check the entry before writing",
         "UpdateFile00=a.dat\r\nUpdateFile01=big.dat\r\n",
         {"UPDATE|Can't Allocate Memory !!", failed},
         failAlloc(0)},
        {"no memory to decode it while staging",
         "UpdateFile00=a.dat\r\nUpdateFile01=big.dat\r\n",
         {"UPDATE|Can't Allocate Memory !!", failed},
         failAlloc(1)},
        {"an Always item cannot replace a folder",
         "UpdateFile00=b.dat\r\n",
         {"UPDATE|「" + install + "\\b.dat」はフォルダのため置き換えられません", failed},
         [&] { CreateDirectoryA((install + "\\b.dat").c_str(), nullptr); }},
        {"a file where a folder should be",
         "UpdateFile00=a.dat\r\nUpdateFile01=file\\b.dat\r\n",
         {failed},
         [&] { WriteText(install + "\\file", "x"); }},
        {"a save file that cannot be read whole is neither written back in part nor replaced",
         "UpdateFile00=a.dat\r\nUpdateFile01=d,save.dat\r\n",
         {"UPDATE|「" + data + "\\save.dat」を読み込めません", failed},
         [] { PlatformOps.ReadFile = ShortRead; }},
        {"no first key", "UpdateFile01=a.dat\r\n", {"UPDATE|No 'UpdateFileXX' and 'CopyFileXX'"}},
        {"a path too long",
         "UpdateFile00=b.dat\r\nUpdateFile01=" + std::string(240, 'p') + "\\a.dat\r\n",
         {tooLong}},
        {"no room for the temporary file beside the target",
         "UpdateFile00=b.dat\r\nUpdateFile01=" + roomless + "\\a.dat\r\n",
         {tooLong},
         [&] { CreateDirectoryA((install + "\\" + roomless).c_str(), nullptr); }},
        {"a disc check file so long that no probe path can be made (the prompt would come back "
         "for ever)",
         "UpdateFile00=a.dat\r\nCopyFile00=1:movie\\op.mpg\r\n",
         {tooLong},
         [] {
             memset(&InstallSettings, 0, sizeof InstallSettings);
             memset(InstallSettings.DiskCheckFile[1], 'c', 258);
         }},
        {"a copy item whose disc is not a digit",
         "UpdateFile00=a.dat\r\nCopyFile00=X:movie\r\n",
         {"UPDATE|UPDATE.INI : CopyFile00 のディスク番号が正しくありません"}},
        {"climbs out",
         "UpdateFile00=a.dat\r\nUpdateFile01=..\\escaped.dat\r\n",
         {outside("..\\escaped.dat")}},
        {"climbs out past a folder",
         "UpdateFile00=a.dat\r\nUpdateFile01=u,sys\\..\\..\\escaped.dat\r\n",
         {outside("sys\\..\\..\\escaped.dat")}},
        {"a data folder that climbs out",
         "UpdateFile00=a.dat\r\n",
         {outside("..\\..")},
         [] { strcpy(UpdaterConfig.DataFolder, "..\\.."); }},
        {"a copy item that climbs out",
         "UpdateFile00=a.dat\r\nCopyFile00=1:..\\escaped.dat\r\n",
         {outside("..\\escaped.dat")}},
        {"a data file that climbs out",
         "UpdateFile00=a.dat\r\nUpdateFile01=d,.../escaped.dat\r\n",
         {outside(".../escaped.dat")}},
    };
    const InstallSettingsRecord settings = InstallSettings;
    for (const Case& c : cases) {
        ScratchFolder::RemoveContents(install);
        ScratchFolder::RemoveContents(data);
        WriteText(install + "\\a.dat", "old a");
        WriteText(install + "\\big.dat", "old big");
        WriteText(data + "\\save.dat", "0123456789");
        PlatformOps = saved.platform;
        DirectOps = saved.direct;
        InstallSettings = settings;
        UpdaterConfig.DataFolder[0] = 0;
        if (c.lay)
            c.lay();
        const TreeSnapshot before = TakeSnapshot({{"game", install}, {"data", data}});
        ShownMessages.clear();
        DialogOutcome o = Run(c.section);
        EXPECT_EQ(-1, o.result) << c.what;
        std::vector<std::string> shown = ShownMessages;
        for (std::string& m : shown)
            if (m.rfind(tooLong, 0) == 0)
                m = tooLong;
        EXPECT_EQ(c.messages, shown) << c.what;
        const std::vector<std::string> differences =
            CompareSnapshots(before, TakeSnapshot({{"game", install}, {"data", data}}));
        EXPECT_TRUE(differences.empty()) << c.what << ": " << differences[0];
        EXPECT_FALSE(PathExists(folder.File("escaped.dat"))) << c.what;
    }
    InstallSettings = settings;
}

// A path that goes down and back up stays inside.
TEST_F(UpdateRunTest, PathsThatGoDownAndBackUpAreFollowed) {
    CreateDirectoryA((install + "\\sys").c_str(), nullptr);
    ExpectCompleted(Run("UpdateFile00=sys\\..\\a.dat\r\n"));
    EXPECT_EQ("new a", ReadText(install + "\\a.dat"));
}

// A data file is copied in parts, by its 64-bit size: one past 4 GiB is written back whole.
TEST_F(UpdateRunTest, DataFileBeyondFourGigabytesIsWrittenBackWhole) {
    const std::string save = data + "\\save.dat";
    HANDLE h = CreateFileA(save.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    LARGE_INTEGER end;
    end.QuadPart = (4ll << 30) + 90;
    ASSERT_TRUE(SetFilePointerEx(h, end, nullptr, FILE_BEGIN));
    DWORD written;
    ASSERT_TRUE(WriteFile(h, "0123456789", 10, &written, nullptr));
    CloseHandle(h);
    DialogOutcome o = Run("UpdateFile00=d,save.dat\r\n");
    ExpectCompleted(o);
    h = CreateFileA(save.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                    nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    LARGE_INTEGER size;
    GetFileSizeEx(h, &size);
    EXPECT_EQ((4ll << 30) + 100, size.QuadPart);
    ASSERT_TRUE(SetFilePointerEx(h, end, nullptr, FILE_BEGIN));
    char tail[11] = {0};
    DWORD got = 0;
    ReadFile(h, tail, 10, &got, nullptr);
    CloseHandle(h);
    EXPECT_STREQ("0123456789", tail);
    DeleteFileA(save.c_str());
}

} // namespace
