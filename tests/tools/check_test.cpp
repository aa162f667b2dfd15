#include "mkupdate/check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/tool_test_support.h"

namespace {

const std::string kSetup = "[SETUP]\r\nCompanyName=Maker\r\nGameTitle=Game\r\n"
                           "GameClass=GameWnd\r\nGameDir=GameDir\r\n";

struct Case {
    const char* what;
    std::string ini;
    bool passes;        // no error
    const char* expect; // a finding that must be there ("" for none at all)
    bool expectError;   // whether that finding is an error
};

std::vector<Finding> Check(const std::string& ini, int* ok) {
    TempFolder t;
    WriteFile(t.path / "UPDATE.INI", ini);
    WriteFile(t.path / "GAME.DAT", "game");
    WriteFile(t.path / "sub" / "A.DAT", "a");
    WriteFile(t.path / "LICENSE.TXT", "licence");
    std::vector<Finding> findings;
    *ok = CheckFolder(t.path, &findings);
    return findings;
}

std::string Joined(const std::vector<Finding>& findings) {
    std::string all;
    for (const Finding& f : findings)
        all += (f.error ? "error: " : "warning: ") + f.text + "\n";
    return all;
}

TEST(MkupdateCheck, Findings) {
    const Case cases[] = {
        {"a clean folder",
         kSetup + "[UPDATE]\r\nUpdateFile00=u,GAME.DAT\r\n"
                  "UpdateFile01=1,o,data\\A.DAT\r\nCopyFile00=2:MOVIE\r\n",
         true, "", false},
        {"a required key with an empty value",
         "[SETUP]\r\nCompanyName=Maker\r\nGameTitle=\r\nGameClass=W\r\nGameDir=D\r\n"
         "[UPDATE]\r\nUpdateFile00=GAME.DAT\r\n",
         false, "GameTitle is missing or empty", true},
        {"a required key absent", "[SETUP]\r\nCompanyName=Maker\r\n[UPDATE]\r\nUpdateFile00=x\r\n",
         false, "GameDir is missing", true},
        {"a gap in the numbering",
         kSetup + "[UPDATE]\r\nUpdateFile00=GAME.DAT\r\nUpdateFile02=A.DAT\r\n", true,
         "UpdateFile02 is never read: UpdateFile01 is missing", false},
        {"more keys than a long list holds",
         kSetup +
             [] {
                 std::string s = "[UPDATE]\r\n";
                 for (int i = 0; i <= 4096; ++i)
                     s += "UpdateFile" + std::string(i < 10 ? "0" : "") + std::to_string(i) +
                          "=GAME.DAT\r\n";
                 return s;
             }(),
         true, "UpdateFile4096 is never read", false},
        {"more than sixteen copy keys",
         kSetup +
             [] {
                 std::string s = "[UPDATE]\r\n";
                 for (int i = 0; i <= 16; ++i)
                     s += "CopyFile" + std::string(i < 10 ? "0" : "") + std::to_string(i) +
                          "=1:MOVIE\r\n";
                 return s;
             }(),
         true, "CopyFile16 is never read", false},
        {"a delete of a file the patch writes",
         kSetup + "[UPDATE]\r\nUpdateFile00=sub\\A.DAT\r\nDeleteFile00=SUB\\a.dat\r\n", true,
         "is also written by UpdateFile00", false},
        {"only deletes", kSetup + "[UPDATE]\r\nDeleteFile00=old\\x.dat\r\n", true, "", false},
        {"a delete that climbs out", kSetup + "[UPDATE]\r\nDeleteFile00=a\\..\\..\\x.dat\r\n",
         false, "not a path inside the game's folder", true},
        {"a delete naming a drive", kSetup + "[UPDATE]\r\nDeleteFile00=C:\\x.dat\r\n", false,
         "not a path inside the game's folder", true},
        {"a delete naming a folder", kSetup + "[UPDATE]\r\nDeleteFile00=old\\\r\n", false,
         "ends in a folder", true},
        {"a file that is not in the folder", kSetup + "[UPDATE]\r\nUpdateFile00=u,MISSING.DAT\r\n",
         false, "MISSING.DAT is not in the folder", true},
        {"a data file that is not in the folder",
         kSetup + "[UPDATE]\r\nUpdateFile00=d,SAVE.DAT\r\n", true, "SAVE.DAT is not in the folder",
         false},
        {"an existence check needs no file",
         kSetup + "[UPDATE]\r\nUpdateFile00=e,OLD.EXE\r\n"
                  "UpdateFile01=GAME.DAT\r\n",
         true, "", false},
        {"two paths with one file name",
         kSetup + "[UPDATE]\r\nUpdateFile00=sys\\A.DAT\r\nUpdateFile01=bgm\\a.dat\r\n", true,
         "share the file name", false},
        {"a path over 259 bytes",
         kSetup + "[UPDATE]\r\nUpdateFile00=u," + std::string(260, 'd') + "\\GAME.DAT\r\n", false,
         "longer than 259 bytes", true},
        {"a drive letter read as a disc prefix",
         kSetup + "[UPDATE]\r\nUpdateFile00=C:\\GAME.DAT\r\n", true, "read as a disc prefix",
         false},
        {"a copy item whose disc is no digit", kSetup + "[UPDATE]\r\nCopyFile00=A:MOVIE\r\n", false,
         "the disc number 'A' is no digit", true},
        {"an agreement text naming no file",
         kSetup + "AgreementText=LICENCE.TXT\r\n[UPDATE]\r\nUpdateFile00=GAME.DAT\r\n", false,
         "AgreementText names LICENCE.TXT", true},
        {"an agreement title naming a file, in another case",
         kSetup + "AgreementTitle=license.txt\r\n[UPDATE]\r\nUpdateFile00=GAME.DAT\r\n", true, "",
         false},
        {"only existence checks", kSetup + "[UPDATE]\r\nUpdateFile00=e,GAME.EXE\r\n", true,
         "only version checks", false},
        {"no list key at all", kSetup + "[UPDATE]\r\nOverwriteOnly=1\r\n", false,
         "No 'UpdateFileXX' and 'CopyFileXX'", true},
        {"a UTF-8 INI",
         kSetup + "UpdaterTitle=\xE3\x82\xB2\xE3\x83\xBC\xE3\x83\xA0\r\n[UPDATE]\r\n"
                  "UpdateFile00=GAME.DAT\r\n",
         false, "UTF-8, not CP932", true},
        {"a CP932 INI",
         kSetup + "UpdaterTitle=\x83\x51\x81\x5B\x83\x80\r\n[UPDATE]\r\n"
                  "UpdateFile00=GAME.DAT\r\n",
         true, "", false},
        {"bytes that are no CP932",
         kSetup + "UpdaterTitle=\x83\r\n[UPDATE]\r\nUpdateFile00=GAME.DAT\r\n", false,
         "not valid CP932", true},
    };
    for (const Case& c : cases) {
        int ok = -1;
        const std::vector<Finding> findings = Check(c.ini, &ok);
        EXPECT_EQ(c.passes ? 1 : 0, ok) << c.what << "\n" << Joined(findings);
        if (!*c.expect) {
            EXPECT_TRUE(findings.empty()) << c.what << "\n" << Joined(findings);
            continue;
        }
        bool found = false;
        for (const Finding& f : findings)
            if (f.text.find(c.expect) != std::string::npos) {
                found = true;
                EXPECT_EQ(c.expectError, f.error) << c.what << ": " << f.text;
            }
        EXPECT_TRUE(found) << c.what << "\n" << Joined(findings);
    }
}

TEST(MkupdateCheck, AFolderWithoutUpdateIni) {
    TempFolder t;
    WriteFile(t.path / "GAME.DAT", "game");
    std::vector<Finding> findings;
    EXPECT_EQ(0, CheckFolder(t.path, &findings));
    ASSERT_EQ(1u, findings.size());
    EXPECT_NE(std::string::npos, findings[0].text.find("no UPDATE.INI"));
}

} // namespace
