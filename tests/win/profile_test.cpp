#include "core/profile.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "core/text.h"
#include "win/win_test_support.h"

namespace {

class ProfileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ShownMessages.clear();
        RequiredKeys = 1;
        const std::string body = "[SETUP]\r\n"
                                 "Name=表示テスト\r\n"
                                 "Empty=\r\n"
                                 "Number=12abc\r\n"
                                 "Letters=abc\r\n"
                                 "Long=" +
                                 std::string(300, 'L') +
                                 "\r\n"
                                 "[UPDATE]\r\n"
                                 "UpdateFile00=u,a.dat\r\n";
        WriteBytes(file, std::vector<uint8_t>(body.begin(), body.end()));
        strcpy(SetupIniPath, file.c_str());
        strcpy(UpdateIniPath, file.c_str());
    }
    void TearDown() override { RequiredKeys = 0; }
    SavedOps saved;
    ScratchFolder folder;
    std::string file = folder.File("PROFILE.INI");
};

bool AllZero(const char* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (p[i])
            return false;
    return true;
}

TEST_F(ProfileTest, PresentValueIsReadAndTheRestOfTheBufferZeroed) {
    char out[64];
    memset(out, 0xCC, sizeof out);
    ASSERT_EQ(1, ReadSetupValue("Name", out, sizeof out));
    EXPECT_STREQ("表示テスト", out);
    EXPECT_TRUE(AllZero(out + strlen(out), sizeof out - strlen(out)));
    memset(out, 0xCC, sizeof out);
    ASSERT_EQ(1, ReadUpdateValue("UPDATE", "UpdateFile00", out, sizeof out));
    EXPECT_STREQ("u,a.dat", out);
    EXPECT_TRUE(ShownMessages.empty());
}

TEST_F(ProfileTest, LongValueIsCutToTheBuffer) {
    char out[kPathSize];
    ASSERT_EQ(1, ReadSetupValue("Long", out, sizeof out));
    EXPECT_EQ(std::string(kPathSize - 1, 'L'), out);
}

TEST_F(ProfileTest, MissingAndEmptyKeysAreReportedWhileRequired) {
    struct Case {
        const char* key;
        const char* section; // null: ReadSetupValue
        const char* message;
    };
    const Case cases[] = {
        {"Absent", nullptr, "INSTCMMN|SETUP.INI : Absent キーが存在しません"},
        {"Empty", nullptr, "INSTCMMN|SETUP.INI : Empty キーが存在しません"},
        {"GameDir", "SETUP", "INSTCMMN|SETUP : GameDir キーが存在しません"},
        {"Empty", "SETUP", "INSTCMMN|SETUP : Empty キーが存在しません"},
        {"UpdateFile00", "NOSECTION", "INSTCMMN|NOSECTION : UpdateFile00 キーが存在しません"},
    };
    for (int required = 1; required >= 0; --required) {
        RequiredKeys = required;
        for (const Case& c : cases) {
            ShownMessages.clear();
            char out[kPathSize];
            memset(out, 0xCC, sizeof out);
            const int got = c.section ? ReadUpdateValue(c.section, c.key, out, sizeof out)
                                      : ReadSetupValue(c.key, out, sizeof out);
            EXPECT_EQ(0, got) << c.key;
            EXPECT_TRUE(AllZero(out, sizeof out)) << c.key;
            if (required)
                EXPECT_EQ(std::vector<std::string>({c.message}), ShownMessages) << c.key;
            else
                EXPECT_TRUE(ShownMessages.empty()) << c.key;
        }
    }
}

TEST_F(ProfileTest, MissingFileReadsAsMissingKeys) {
    strcpy(SetupIniPath, folder.File("NONE.INI").c_str());
    RequiredKeys = 0;
    char out[16];
    EXPECT_EQ(0, ReadSetupValue("Name", out, sizeof out));
    EXPECT_TRUE(ShownMessages.empty());
}

TEST_F(ProfileTest, IntegersReadAsDecimalPrefixes) {
    RequiredKeys = 0;
    int32_t value = 99;
    EXPECT_EQ(1, ReadSetupInt("Number", &value));
    EXPECT_EQ(12, value);
    EXPECT_EQ(1, ReadSetupInt("Letters", &value));
    EXPECT_EQ(0, value);
    value = 77;
    EXPECT_EQ(0, ReadSetupInt("Absent", &value));
    EXPECT_EQ(77, value) << "a missing key leaves the integer as it was";
    EXPECT_EQ(0, ReadSetupInt("Empty", &value));
    EXPECT_EQ(77, value);
}

} // namespace
