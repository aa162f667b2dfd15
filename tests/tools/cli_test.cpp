// mkupdate as a publisher runs it: commands, exit codes, messages and the files they leave.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "archive/archive_format.h"
#include "tools/tool_test_support.h"

#ifndef FIXTURE_RSRC_LAST
#error the build passes the fixture paths
#endif

namespace {

namespace fs = std::filesystem;

const char kIni[] = "[SETUP]\r\nCompanyName=Maker\r\nGameTitle=Game\r\nGameClass=GameWnd\r\n"
                    "GameDir=GameDir\r\n[UPDATE]\r\nUpdateFile00=u,GAME.DAT\r\n"
                    "UpdateFile01=d,save\\MAP.DAT\r\n";

// A patch folder: UPDATE.INI, a compressible file and one in a subfolder.
void MakePatch(const fs::path& dir) {
    WriteFile(dir / "UPDATE.INI", kIni);
    std::string game;
    for (int i = 0; i < 3000; ++i)
        game += "record " + std::to_string(i % 97) + ";";
    WriteFile(dir / "GAME.DAT", game);
    WriteFile(dir / "data" / "MAP.DAT", std::string(5000, '\x01') + "end");
}

int64_t ModifiedSeconds(const fs::path& file) {
    struct stat st;
    return stat(file.c_str(), &st) == 0 ? (int64_t)st.st_mtim.tv_sec : -1;
}

TEST(MkupdateCli, HelpAndUsageErrors) {
    RunResult help = RunTool({"--help"});
    EXPECT_EQ(0, help.status);
    EXPECT_NE(std::string::npos, help.out.find("extract FILE -d DIR"));
    EXPECT_NE(0, RunTool({}).status);
    ExpectOneLineReason(RunTool({"unpack", "x"}), "unknown command");
    ExpectOneLineReason(RunTool({"pack", "dir"}), "-o");
    ExpectOneLineReason(RunTool({"pack", "dir", "-o"}), "needs a value");
    ExpectOneLineReason(RunTool({"list", "a", "b"}), "wrong arguments");
    ExpectOneLineReason(RunTool({"verify", "--level9", "a"}), "unknown option");
}

TEST(MkupdateCli, PackVerifyListExtractRoundTrip) {
    TempFolder t;
    MakePatch(t.path / "patch");
    const fs::path payload = t.path / "p.qv2";
    ASSERT_EQ(0, RunTool({"pack", (t.path / "patch").string(), "-o", payload.string()}).status);
    RunResult verify = RunTool({"verify", payload.string()});
    EXPECT_EQ(0, verify.status) << verify.err;

    RunResult list = RunTool({"list", payload.string()});
    ASSERT_EQ(0, list.status) << list.err;
    for (const char* name : {"UPDATE.INI", "GAME.DAT", "MAP.DAT"})
        EXPECT_NE(std::string::npos, list.out.find(name)) << list.out;
    EXPECT_NE(std::string::npos, list.out.find("compressed")) << list.out;

    ASSERT_EQ(0, RunTool({"extract", payload.string(), "-d", (t.path / "out").string()}).status);
    for (const char* name : {"UPDATE.INI", "GAME.DAT"}) {
        EXPECT_EQ(ReadFile(t.path / "patch" / name), ReadFile(t.path / "out" / name)) << name;
        EXPECT_EQ(ModifiedSeconds(t.path / "patch" / name), ModifiedSeconds(t.path / "out" / name))
            << name;
    }
    EXPECT_EQ(ReadFile(t.path / "patch" / "data" / "MAP.DAT"),
              ReadFile(t.path / "out" / "MAP.DAT"));

    // Only the named entries, matched without regard to case as the updater matches them.
    ASSERT_EQ(0,
              RunTool({"extract", payload.string(), "-d", (t.path / "some").string(), "game.dat"})
                  .status);
    EXPECT_TRUE(fs::exists(t.path / "some" / "GAME.DAT"));
    EXPECT_FALSE(fs::exists(t.path / "some" / "UPDATE.INI"));
    // A name not in the archive: nothing at all is written.
    ExpectOneLineReason(RunTool({"extract", payload.string(), "-d", (t.path / "none").string(),
                                 "GAME.DAT", "MISSING.DAT"}),
                        "MISSING.DAT");
    EXPECT_FALSE(fs::exists(t.path / "none"));
}

TEST(MkupdateCli, PackIsReproducibleAndTheBestLevelIsSmaller) {
    TempFolder t;
    MakePatch(t.path / "patch");
    const std::string dir = (t.path / "patch").string();
    ASSERT_EQ(0, RunTool({"pack", dir, "-o", (t.path / "a").string()}).status);
    ASSERT_EQ(0, RunTool({"pack", dir, "-o", (t.path / "b").string()}).status);
    ASSERT_EQ(0, RunTool({"pack", dir, "-o", (t.path / "fast").string(), "--fast"}).status);
    EXPECT_EQ(ReadFile(t.path / "a"), ReadFile(t.path / "b"));
    EXPECT_LT(ReadFile(t.path / "a").size(), ReadFile(t.path / "fast").size());
    EXPECT_EQ(0, RunTool({"verify", (t.path / "fast").string()}).status);
}

TEST(MkupdateCli, PackRefusesWithoutWritingAnything) {
    TempFolder t;
    MakePatch(t.path / "patch");
    WriteFile(t.path / "patch" / "game.dat", "same entry name as GAME.DAT");
    const fs::path out = t.path / "p.qv2";
    ExpectOneLineReason(RunTool({"pack", (t.path / "patch").string(), "-o", out.string()}),
                        "two files would be one entry");
    EXPECT_FALSE(fs::exists(out));
    EXPECT_FALSE(fs::exists(out.string() + ".part"));

    ExpectOneLineReason(RunTool({"pack", (t.path / "nowhere").string(), "-o", out.string()}),
                        "not a folder");
    EXPECT_FALSE(fs::exists(out));
}

TEST(MkupdateCli, Utf8FileNamesBecomeCp932Entries) {
    TempFolder t;
    MakePatch(t.path / "patch");
    // "画像.BMP": 画 is 89 E6 and 像 is 91 9C in CP932.
    WriteFile(t.path / "patch" / "\xE7\x94\xBB\xE5\x83\x8F.BMP", "picture");
    const fs::path payload = t.path / "p.qv2";
    ASSERT_EQ(0, RunTool({"pack", (t.path / "patch").string(), "-o", payload.string()}).status);
    // The index is compressed and scrambled; list and extract show the name decoded again.
    RunResult list = RunTool({"list", payload.string()});
    EXPECT_NE(std::string::npos, list.out.find("\xE7\x94\xBB\xE5\x83\x8F.BMP")) << list.out;
    ASSERT_EQ(0, RunTool({"extract", payload.string(), "-d", (t.path / "out").string(),
                          "\xE7\x94\xBB\xE5\x83\x8F.bmp"})
                     .status);
    EXPECT_EQ("picture", ReadFile(t.path / "out" / "\xE7\x94\xBB\xE5\x83\x8F.BMP"));
    // A name with no CP932 form is refused.
    WriteFile(t.path / "patch" / "caf\xC3\xA9\xE2\x82\xAC.txt", "x"); // U+20AC has none
    ExpectOneLineReason(
        RunTool({"pack", (t.path / "patch").string(), "-o", (t.path / "q.qv2").string()}), "CP932");
}

TEST(MkupdateCli, VerifyReportsDamage) {
    TempFolder t;
    MakePatch(t.path / "patch");
    const fs::path payload = t.path / "p.qv2";
    ASSERT_EQ(0, RunTool({"pack", (t.path / "patch").string(), "-o", payload.string()}).status);
    const std::string image = ReadFile(payload);
    struct Case {
        const char* what;
        size_t offset;
        uint8_t flip;
        const char* expect;
    };
    // GAME.DAT (sorted first) is compressed; its stream starts right after the header with a
    // flag word whose top bits, once unscrambled, say that the first token is a literal. Damage
    // that decoding shows is told by the entry's name (the hashes are tested on their own).
    const Case cases[] = {
        {"a first token that copies from nothing", 16 + 3, 0xC0, "GAME.DAT"},
        {"an unknown index flag", kHeaderFlagsOffset + 1, 0x01, "unknown index flags"},
        {"a wrong magic", 0, 0x01, "no payload archive"},
    };
    for (const Case& c : cases) {
        std::string bad = image;
        bad[c.offset] = (char)(bad[c.offset] ^ c.flip);
        WriteFile(t.path / "bad.qv2", bad);
        RunResult r = RunTool({"verify", (t.path / "bad.qv2").string()});
        EXPECT_NE(0, r.status) << c.what;
        EXPECT_NE(std::string::npos, r.err.find(c.expect)) << c.what << ": " << r.err;
    }
    WriteFile(t.path / "cut.qv2", image.substr(0, image.size() - 3));
    RunResult cut = RunTool({"verify", (t.path / "cut.qv2").string()});
    EXPECT_NE(0, cut.status);
    EXPECT_NE(std::string::npos, cut.err.find("index")) << cut.err;
}

TEST(MkupdateCli, BuildEmbedsThePayloadInTheStub) {
    TempFolder t;
    MakePatch(t.path / "patch");
    const fs::path exe = t.path / "UPDATE.exe";
    RunResult build = RunTool(
        {"build", (t.path / "patch").string(), "-o", exe.string(), "--stub", FIXTURE_RSRC_LAST});
    ASSERT_EQ(0, build.status) << build.err;
    EXPECT_EQ(0, RunTool({"verify", exe.string()}).status);
    ASSERT_EQ(0, RunTool({"extract", exe.string(), "-d", (t.path / "out").string()}).status);
    EXPECT_EQ(ReadFile(t.path / "patch" / "GAME.DAT"), ReadFile(t.path / "out" / "GAME.DAT"));
    // The built program can itself be a stub: its payload is replaced, not added to.
    const fs::path again = t.path / "AGAIN.exe";
    ASSERT_EQ(0, RunTool({"build", (t.path / "patch").string(), "-o", again.string(), "--stub",
                          exe.string()})
                     .status);
    EXPECT_EQ(ReadFile(exe), ReadFile(again));

    ExpectOneLineReason(RunTool({"build", (t.path / "patch").string(), "-o",
                                 (t.path / "no.exe").string(), "--stub", FIXTURE_RSRC_NOT_LAST}),
                        "not its last section");
    EXPECT_FALSE(fs::exists(t.path / "no.exe"));
    ExpectOneLineReason(RunTool({"list", FIXTURE_RSRC_NOT_LAST}), "no payload archive");
}

TEST(MkupdateCli, BuildRunsTheCheckFirst) {
    TempFolder t;
    MakePatch(t.path / "patch");
    WriteFile(t.path / "patch" / "UPDATE.INI", "[SETUP]\r\nCompanyName=Maker\r\n");
    RunResult r = RunTool({"build", (t.path / "patch").string(), "-o", (t.path / "U.exe").string(),
                           "--stub", FIXTURE_RSRC_LAST});
    EXPECT_NE(0, r.status);
    EXPECT_NE(std::string::npos, r.err.find("GameTitle is missing")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("did not pass the check")) << r.err;
    EXPECT_FALSE(fs::exists(t.path / "U.exe"));
}

} // namespace
