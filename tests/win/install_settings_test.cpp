#include "settings/install_settings.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "core/profile.h"
#include "core/run_state.h"
#include "win/win_test_support.h"

namespace {

typedef std::vector<std::pair<std::string, std::string>> Keys;

// A valid SETUP.INI, in the order the installer writes it.
Keys BaseKeys() {
    return {
        {"CompanyName", "設定メーカー"},
        {"GameTitle", "設定ゲーム"},
        {"GameDir", "SetGame"},
        {"GameExe", "game.exe"},
        {"UninstExe", "uninst.exe"},
        {"SetupBmp", "a.bmp,b.bmp"},
        {"InstallSelects", "2"},
        {"InstallTitle0", "標準"},
        {"InstallFiles0", "1:a.dat,b.dat"},
        {"InstallTitle1", "全部"},
        {"InstallFiles1", "c.dat"},
        {"Shortcuts", "1"},
        {"Shortcut0", "ゲーム,game.exe"},
        {"UseCompanyNameForShortcutGroup", "whatever"},
        {"CancelSaveData", ""},
        {"Debug_OutputSetupLog", "-7"},
    };
}

Keys With(Keys keys, const std::string& key, const std::string& value) {
    for (auto& kv : keys) {
        if (kv.first == key) {
            kv.second = value;
            return keys;
        }
    }
    keys.push_back({key, value});
    return keys;
}

Keys Without(Keys keys, const std::string& key) {
    for (size_t i = 0; i < keys.size(); ++i) {
        if (keys[i].first == key) {
            keys.erase(keys.begin() + (long)i);
            break;
        }
    }
    return keys;
}

std::string Items(int count, const char* prefix) {
    std::string list;
    for (int i = 0; i < count; ++i)
        list += (i ? "," : "") + std::string(prefix) + std::to_string(i);
    return list;
}

class InstallSettingsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ShownMessages.clear();
        strcpy(SetupIniPath, file.c_str());
    }
    void TearDown() override { RequiredKeys = 0; }

    // Writes the file and loads it onto a record poisoned with 0x55, the identity holding
    // UPDATE.INI's values, as at start-up.
    int Load(const Keys& keys) {
        std::string body = "[SETUP]\r\n";
        for (const auto& kv : keys)
            body += kv.first + "=" + kv.second + "\r\n";
        WriteBytes(file, std::vector<uint8_t>(body.begin(), body.end()));
        memset(&InstallSettings, 0x55, sizeof InstallSettings);
        strcpy(GameIdentity.GameClass, "UpdateIniClass");
        strcpy(GameIdentity.GameTitle, "UpdateIniTitle");
        ShownMessages.clear();
        return LoadInstallSettings();
    }
    std::vector<std::string> Refused(const std::string& message) {
        return {"INSTCMMN|SETUP.INI : " + message};
    }

    SavedOps saved;
    ScratchFolder folder;
    std::string file = folder.File("SETUP.INI");
    InstallSettingsRecord& s = InstallSettings;
};

TEST_F(InstallSettingsTest, ValidFileLoadsWithItsDefaults) {
    ASSERT_EQ(1, Load(BaseKeys())) << ShownMessages.size();
    EXPECT_TRUE(ShownMessages.empty());
    EXPECT_EQ(0, RequiredKeys);
    EXPECT_STREQ("設定メーカー", GameIdentity.CompanyName);
    EXPECT_STREQ("設定ゲーム", GameIdentity.GameTitle);
    EXPECT_STREQ("SetGame", GameIdentity.GameDir);
    EXPECT_STREQ("設定ゲーム", GameIdentity.GameClass) << "the title, not UPDATE.INI's class";
    EXPECT_STREQ("a.bmp", s.SetupBmp[0]);
    EXPECT_STREQ("", s.SetupBmp[2]);
    EXPECT_EQ(2, s.InstallSelects);
    EXPECT_STREQ("b.dat", s.InstallFiles[0][1]);
    EXPECT_EQ(1, s.InstallFileDiscs[0][1]) << "a prefix holds for the items after it";
    EXPECT_EQ(1, s.InstallNeedsDisc[0]);
    EXPECT_EQ(0, s.InstallNeedsDisc[1]);
    EXPECT_STREQ("", s.InstallFiles[1][1]);
    EXPECT_STREQ("game.exe", s.Shortcut[0][1]);
    EXPECT_STREQ("", s.Shortcut[0][2]);
    EXPECT_EQ(0, s.DefaultSelect);
    EXPECT_EQ(0, s.InstallSize[0]);
    EXPECT_STREQ("", s.DiskCheckFile[9]);
    EXPECT_STREQ("", s.ExecApp[0]);
    EXPECT_STREQ("インストール方法を選択して下さい", s.SelectSetupMessage);
    EXPECT_STREQ("savedata", s.SaveDataFolderNameInInstall);
    EXPECT_STREQ("SetGame", s.SaveDataFolderName);
    EXPECT_STREQ("InstPath", s.StrKeyInstPath);
    EXPECT_STREQ("", s.ShortcutFolder);
    EXPECT_EQ(0, s.InstallAfterAdd);
    EXPECT_STREQ("設定ゲーム", s.UninstTitle);
    EXPECT_EQ(0, s.InstPathMode);
    EXPECT_STREQ("", s.GameExe64);
}

TEST_F(InstallSettingsTest, EveryRequiredKeyMissingOrEmptyInTurn) {
    const char* required[] = {"CompanyName",   "GameTitle",     "GameDir",        "GameExe",
                              "UninstExe",     "SetupBmp",      "InstallSelects", "InstallTitle0",
                              "InstallFiles0", "InstallTitle1", "InstallFiles1",  "Shortcuts",
                              "Shortcut0"};
    for (const char* key : required) {
        const std::vector<std::string> expected = Refused(std::string(key) + " キーが存在しません");
        EXPECT_EQ(0, Load(Without(BaseKeys(), key))) << key;
        EXPECT_EQ(expected, ShownMessages) << key;
        EXPECT_EQ(0, Load(With(BaseKeys(), key, ""))) << key << " empty";
        EXPECT_EQ(expected, ShownMessages) << key << " empty";
    }
}

TEST_F(InstallSettingsTest, CountLimits) {
    Keys four = With(BaseKeys(), "InstallSelects", "4");
    for (int i = 2; i < 4; ++i) {
        four = With(four, "InstallTitle" + std::to_string(i), "t");
        four = With(four, "InstallFiles" + std::to_string(i), "f.dat");
    }
    EXPECT_EQ(1, Load(four));
    EXPECT_EQ(0, Load(With(four, "InstallSelects", "5")));
    EXPECT_EQ(Refused("InstallSelect オーバー"), ShownMessages);

    Keys ten = With(BaseKeys(), "Shortcuts", "10");
    for (int k = 0; k < 10; ++k)
        ten = With(ten, "Shortcut" + std::to_string(k), "s,t");
    EXPECT_EQ(1, Load(ten));
    EXPECT_EQ(0, Load(With(ten, "Shortcuts", "11")));
    EXPECT_EQ(Refused("Shortcuts オーバー"), ShownMessages);

    // Negative counts mean none: no titles, lists or shortcuts are asked for.
    Keys none = With(With(BaseKeys(), "InstallSelects", "-1"), "Shortcuts", "-3");
    none = Without(Without(Without(none, "InstallFiles0"), "InstallFiles1"), "Shortcut0");
    EXPECT_EQ(1, Load(none)) << (ShownMessages.empty() ? "" : ShownMessages[0]);
}

TEST_F(InstallSettingsTest, ListsKeepTheirLimitsAndDiscs) {
    ASSERT_EQ(1, Load(With(BaseKeys(), "InstallFiles0", Items(41, "f"))));
    EXPECT_STREQ("f39", s.InstallFiles[0][39]) << "40 items kept, no end marker";

    ASSERT_EQ(1, Load(With(BaseKeys(), "InstallFiles0", "2:a.dat,b.dat,0:c.dat,,d.dat")));
    EXPECT_EQ(2, s.InstallFileDiscs[0][0]);
    EXPECT_EQ(2, s.InstallFileDiscs[0][1]);
    EXPECT_EQ(0, s.InstallFileDiscs[0][2]);
    EXPECT_STREQ("c.dat", s.InstallFiles[0][2]);
    EXPECT_STREQ("", s.InstallFiles[0][3]) << "the empty item ends the list";
    EXPECT_EQ(1, s.InstallNeedsDisc[0]);

    ASSERT_EQ(1, Load(With(BaseKeys(), "InstallFiles0", "0:a.dat,b.dat")));
    EXPECT_EQ(0, s.InstallNeedsDisc[0]);

    EXPECT_EQ(0, Load(With(BaseKeys(), "InstallFiles0", ",a.dat")));
    EXPECT_EQ(Refused("InstallFiles0 エラー"), ShownMessages);

    ASSERT_EQ(1, Load(With(BaseKeys(), "SetupBmp", Items(21, "b"))));
    EXPECT_STREQ("b19", s.SetupBmp[19]);
    EXPECT_EQ(0, Load(With(BaseKeys(), "SetupBmp", " ,x")));
    EXPECT_EQ(Refused("SetupBmps エラー"), ShownMessages);
}

TEST_F(InstallSettingsTest, ShortcutFields) {
    struct Case {
        const char* value;
        const char* fields[4];
    };
    const Case cases[] = {
        {"one,two,,four", {"one", "two", "", "four"}},
        {"one,two,,, ,four", {"one", "two", "", "four"}},
        {"one,two", {"one", "two", "", ""}},
        {"one,two,three", {"one", "two", "three", ""}},
        {"a,b,c,d,e", {"a", "b", "c", "d"}},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(1, Load(With(BaseKeys(), "Shortcut0", c.value))) << c.value;
        for (int f = 0; f < 4; ++f)
            EXPECT_STREQ(c.fields[f], s.Shortcut[0][f]) << c.value << " field " << f + 1;
    }
    EXPECT_EQ(0, Load(With(BaseKeys(), "Shortcut0", "one")));
    EXPECT_EQ(Refused("Shortcut0 エラー"), ShownMessages);
    EXPECT_EQ(0, Load(With(BaseKeys(), "Shortcut0", "one,,two")));
    EXPECT_EQ(Refused("Shortcut0 エラー"), ShownMessages);
}

TEST_F(InstallSettingsTest, OptionalValues) {
    Keys keys = BaseKeys();
    keys = With(keys, "GameClass", "SetupClass");
    keys = With(keys, "DefaultSelect", "7");
    keys = With(keys, "InstallSize0", "5000000000");
    keys = With(keys, "InstallSize1", "-12");
    keys = With(keys, "InstallSize2", "99"); // beyond InstallSelects: not read
    keys = With(keys, "DiskCheckFile3", "disc3.chk");
    keys = With(keys, "ExecApp", "readme.txt,notepad.exe,extra");
    keys = With(keys, "SaveDataFolderName", "saves");
    keys = With(keys, "UninstTitle", "削除");
    keys = With(keys, "InstPathMode", "2");
    ASSERT_EQ(1, Load(keys));
    EXPECT_STREQ("SetupClass", GameIdentity.GameClass);
    EXPECT_EQ(7, s.DefaultSelect);
    EXPECT_EQ(5000000000ll, s.InstallSize[0]);
    EXPECT_EQ(-12, s.InstallSize[1]);
    EXPECT_EQ(0x5555555555555555ll, s.InstallSize[2]) << "not read";
    EXPECT_STREQ("", s.DiskCheckFile[2]);
    EXPECT_STREQ("disc3.chk", s.DiskCheckFile[3]) << "a gap does not stop the reading";
    EXPECT_STREQ("readme.txt", s.ExecApp[0]);
    EXPECT_STREQ("notepad.exe", s.ExecApp[1]);
    EXPECT_STREQ("saves", s.SaveDataFolderName);
    EXPECT_STREQ("削除", s.UninstTitle);
    EXPECT_EQ(2, s.InstPathMode);

    EXPECT_EQ(0, Load(With(BaseKeys(), "ExecApp", "readme.txt")));
    EXPECT_EQ(Refused("ExecApp エラー"), ShownMessages);
}

TEST_F(InstallSettingsTest, AddOnListTakesTheFourthSlot) {
    Keys four = With(BaseKeys(), "InstallSelects", "4");
    for (int i = 2; i < 4; ++i) {
        four = With(four, "InstallTitle" + std::to_string(i), "t");
        four = With(four, "InstallFiles" + std::to_string(i), "3:sel" + std::to_string(i));
        four = With(four, "InstallSize" + std::to_string(i), "100");
    }
    four = With(four, "InstallAddFiles", "add1.dat,add2.dat");
    four = With(four, "InstallAddSize", "777");

    ASSERT_EQ(1, Load(four)) << "InstallAfterAdd absent: the add-on list is not read";
    EXPECT_STREQ("sel3", s.InstallFiles[3][0]);
    ASSERT_EQ(1, Load(With(four, "InstallAfterAdd", "0")));
    EXPECT_EQ(100, s.InstallSize[3]);

    ASSERT_EQ(1, Load(With(four, "InstallAfterAdd", "1")));
    EXPECT_EQ(1, s.InstallAfterAdd);
    EXPECT_STREQ("add1.dat", s.InstallFiles[3][0]);
    EXPECT_STREQ("add2.dat", s.InstallFiles[3][1]);
    EXPECT_STREQ("", s.InstallFiles[3][2]);
    EXPECT_EQ(0, s.InstallFileDiscs[3][0]);
    EXPECT_EQ(0, s.InstallNeedsDisc[3]) << "selection 3's disc flag is replaced";
    EXPECT_EQ(777, s.InstallSize[3]);
    EXPECT_EQ(0, RequiredKeys);

    EXPECT_EQ(0, Load(Without(With(four, "InstallAfterAdd", "1"), "InstallAddFiles")));
    EXPECT_EQ(Refused("InstallAddFiles キーが存在しません"), ShownMessages);
    EXPECT_EQ(0, Load(With(With(four, "InstallAfterAdd", "1"), "InstallAddFiles", ",")));
    EXPECT_EQ(Refused("InstallAddFiles エラー"), ShownMessages);
}

} // namespace
