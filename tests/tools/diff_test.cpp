#include "mkupdate/release_diff.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "archive/payload_features.h"
#include "mkupdate/build.h"
#include "mkupdate/check.h"
#include "mkupdate/pack.h"
#include "tools/tool_test_support.h"

namespace fs = std::filesystem;

namespace {

typedef std::map<std::string, std::string> Tree; // relative path -> bytes

const std::string kSetupIni = "[SETUP]\r\nCompanyName=Maker\r\nGameTitle=Game\r\nGameDir=Dir\r\n"
                              "GameExe=game.exe\r\nGameClass=Wnd\r\n";

void Lay(const fs::path& root, const Tree& tree) {
    fs::create_directories(root);
    for (const auto& [path, bytes] : tree)
        WriteFile(root / path, bytes);
}

Tree Many(int n, const std::string& tag) {
    Tree t;
    for (int i = 0; i < n; ++i)
        t["f/" + std::to_string(100 + i) + ".dat"] = tag + std::to_string(i);
    return t;
}

Tree With(Tree t, const Tree& more) {
    for (const auto& [p, b] : more)
        t[p] = b;
    return t;
}

struct Case {
    const char* what;
    std::vector<Tree> olds;
    Tree now;
    std::vector<std::string> keep;
    std::string updates; // the [UPDATE] section expected, "" to skip comparing it
    uint32_t features;   // beyond integrity and deltas, as pack marks them
};

TEST(MkupdateDiff, PatchFoldersFromReleases) {
    const Tree base = {{"SETUP.INI", kSetupIni}, {"game.exe", "v1"},  {"bgm/01.ogg", "a1"},
                       {"voice/01.ogg", "b1"},   {"old.dat", "gone"}, {"save/cfg.dat", "p1"}};
    const Case cases[] = {
        {"changed, new and removed; the player's file kept",
         {base, With(base, {{"game.exe", "v2"}, {"extra.dat", "x"}})},
         With(base, {{"game.exe", "v3"}, {"new.dat", "n"}, {"save/cfg.dat", "p3"}}),
         {"save/*"},
         "UpdateFile00=e,bgm\\01.ogg\r\nUpdateFile01=game.exe\r\nUpdateFile02=new.dat\r\n"
         "DeleteFile00=extra.dat\r\n",
         PAYLOAD_FEATURE_DELETIONS},
        {"files of one name in two folders: entries carry their folders",
         {base},
         With(base, {{"bgm/01.ogg", "a2"}, {"voice/01.ogg", "b2"}}),
         {"save/cfg.dat"},
         "UpdateFile00=e,game.exe\r\nUpdateFile01=bgm\\01.ogg\r\nUpdateFile02=voice\\01.ogg\r\n",
         PAYLOAD_FEATURE_FOLDER_NAMES},
        {"a file whose name is the patch's UPDATE.INI, in a folder",
         {base},
         With(base, {{"doc/update.ini", "notes"}}),
         {},
         "CreateFolders=1\r\nUpdateFile00=e,game.exe\r\nUpdateFile01=doc\\update.ini\r\n",
         PAYLOAD_FEATURE_FOLDER_NAMES | PAYLOAD_FEATURE_NEW_FOLDERS},
        {"more than sixteen files: a long list",
         {With(base, Many(20, "old"))},
         With(base, Many(20, "new")),
         {},
         "",
         PAYLOAD_FEATURE_LONG_LISTS},
        {"a file becomes a folder, a folder a file: deleted first, then written",
         {With(base, {{"movie", "f"}, {"doc/a.txt", "1"}, {"doc/sub/b.txt", "2"}})},
         With(base, {{"movie/op.dat", "o"}, {"doc", "now a file"}}),
         {},
         "CreateFolders=1\r\nUpdateFile00=e,game.exe\r\nUpdateFile01=doc\r\n"
         "UpdateFile02=movie\\op.dat\r\nDeleteFile00=doc\\a.txt\r\nDeleteFile01=doc\\sub\\b.txt\r\n"
         "DeleteFile02=movie\r\n",
         PAYLOAD_FEATURE_DELETIONS | PAYLOAD_FEATURE_NEW_FOLDERS},
        {"every common file changed: no version check",
         {{{"SETUP.INI", kSetupIni}, {"game.exe", "1"}}},
         {{"SETUP.INI", kSetupIni + "Version=2\r\n"}, {"game.exe", "2"}},
         {},
         "UpdateFile00=game.exe\r\nUpdateFile01=SETUP.INI\r\n",
         0},
        {"no file in every older release: no version check",
         {{{"SETUP.INI", kSetupIni}, {"a.dat", "1"}}, {{"SETUP.INI", "x"}, {"b.dat", "2"}}},
         {{"SETUP.INI", kSetupIni}, {"a.dat", "1"}, {"b.dat", "2"}},
         {"SETUP.INI"},
         "UpdateFile00=a.dat\r\nUpdateFile01=b.dat\r\n",
         0},
    };
    for (const Case& c : cases) {
        TempFolder t;
        DiffOptions o;
        for (size_t i = 0; i < c.olds.size(); ++i) {
            o.from.push_back(t.path / ("old" + std::to_string(i)));
            Lay(o.from.back(), c.olds[i]);
        }
        o.to = t.path / "new";
        Lay(o.to, c.now);
        o.out = t.path / "patch";
        o.keep = c.keep;
        ReleaseDiff diff;
        std::string error;
        ASSERT_EQ(1, DiffReleases(o, &diff, &error)) << c.what << ": " << error;
        const std::string ini = ReadFile(o.out / "UPDATE.INI");
        EXPECT_EQ(0u, ini.find("[SETUP]\r\nCompanyName=Maker\r\nGameTitle=Game\r\nGameClass=Wnd\r\n"
                               "GameDir=Dir\r\n\r\n[UPDATE]\r\n"))
            << c.what << "\n"
            << ini;
        if (!c.updates.empty()) {
            EXPECT_EQ(c.updates, ini.substr(ini.find("[UPDATE]\r\n") + 10)) << c.what;
        }
        EXPECT_EQ(!c.updates.empty() && c.updates.find("=e,") == std::string::npos,
                  diff.versionCheck.empty())
            << c.what;
        // Every file the patch carries is the new release's, and nothing else is there.
        size_t files = 0;
        for (const auto& e : fs::recursive_directory_iterator(o.out))
            if (e.is_regular_file() && e.path().filename() != "UPDATE.INI") {
                ++files;
                const std::string relative = fs::relative(e.path(), o.out).generic_string();
                EXPECT_EQ(c.now.at(relative), ReadFile(e.path())) << c.what << ": " << relative;
            }
        EXPECT_EQ(diff.files.size(), files) << c.what;
        // What diff wrote passes the check without a word, and pack marks what it needs.
        std::vector<Finding> findings;
        EXPECT_EQ(1, CheckFolder(o.out, &findings)) << c.what;
        EXPECT_TRUE(findings.empty()) << c.what << ": " << findings[0].text;
        std::vector<uint8_t> image;
        std::vector<std::string> leftOut, told;
        ASSERT_EQ(1, PackFolder(o.out, fs::path(), PackOptions(), &image, &leftOut, &told, &error))
            << c.what << ": " << error;
        uint32_t required = 0;
        ASSERT_EQ(1, PayloadRequiredFeatures(image, &required, &error));
        EXPECT_EQ(c.features, required) << c.what;
    }
}

TEST(MkupdateDiff, RefusalsAndKeepPatterns) {
    TempFolder t;
    Lay(t.path / "a", {{"SETUP.INI", "[SETUP]\r\nCompanyName=M\r\n"}, {"x.dat", "1"}});
    Lay(t.path / "b", {{"SETUP.INI", "[SETUP]\r\nCompanyName=M\r\n"}, {"x.dat", "2"}});
    DiffOptions o;
    o.from = {t.path / "a"};
    o.to = t.path / "b";
    ReleaseDiff diff;
    std::string error;
    EXPECT_EQ(0, DiffReleases(o, &diff, &error));
    EXPECT_NE(std::string::npos, error.find("gives no GameTitle: give --title")) << error;
    o.gameTitle = "ゲーム";
    o.gameDir = "D";
    o.gameClass = "W";
    o.out = t.path / "a" / "patch";
    EXPECT_EQ(0, DiffReleases(o, &diff, &error));
    EXPECT_NE(std::string::npos, error.find("overlap")) << error;
    WriteFile(t.path / "full" / "stale.dat", "s");
    o.out = t.path / "full";
    EXPECT_EQ(0, DiffReleases(o, &diff, &error));
    EXPECT_NE(std::string::npos, error.find("not an empty folder")) << error;
    o.out.clear(); // the plan alone
    ASSERT_EQ(1, DiffReleases(o, &diff, &error)) << error;
    EXPECT_NE(std::string::npos, diff.ini.find("GameTitle=\x83\x51\x81\x5B\x83\x80\r\n"));
    EXPECT_NE(std::string::npos, DescribeDiff(diff).find("from a: 1 changed (1 bytes)"));

    const struct {
        const char* pattern;
        const char* path;
        bool kept;
    } keeps[] = {{"save/*", "save/a/b.dat", true}, {"*.SAV", "x/slot1.sav", true},
                 {"*.sav", "x/slot1.savx", false}, {"save\\*", "save/x", true},
                 {"cfg?.ini", "a/cfg1.ini", true}, {"a/cfg?.ini", "b/a/cfg1.ini", false}};
    for (const auto& k : keeps)
        EXPECT_EQ(k.kept, MatchesKeep(k.pattern, k.path) == 1) << k.pattern << " " << k.path;
}

TEST(MkupdateDiff, BuildFromTwoReleasesInOneGo) {
    TempFolder t;
    Lay(t.path / "a", {{"SETUP.INI", kSetupIni}, {"game.exe", "v1"}});
    Lay(t.path / "b", {{"SETUP.INI", kSetupIni}, {"game.exe", "v2"}, {"new.dat", "n"}});
    const std::string exe = (t.path / "U.exe").string();
    const std::vector<std::string> from = {"--from", (t.path / "a").string(), "--to",
                                           (t.path / "b").string()};
    std::vector<std::string> args = {"build"};
    args.insert(args.end(), from.begin(), from.end());
    args.insert(args.end(), {"-o", exe, "--stub", FIXTURE_RSRC_LAST, "--dry-run"});
    RunResult r = RunTool(args);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("1 changed")) << r.err;
    EXPECT_FALSE(fs::exists(exe));
    args.pop_back();
    r = RunTool(args);
    ASSERT_EQ(0, r.status) << r.err;
    const RunResult list = RunTool({"list", exe});
    EXPECT_NE(std::string::npos, list.out.find("new.dat")) << list.out;
    // The same as diff, then build with the older release as base.
    std::vector<std::string> diff = {"diff"};
    diff.insert(diff.end(), from.begin(), from.end());
    diff.insert(diff.end(), {"-o", (t.path / "patch").string()});
    ASSERT_EQ(0, RunTool(diff).status);
    const std::string twoSteps = (t.path / "U2.exe").string();
    ASSERT_EQ(0, RunTool({"build", (t.path / "patch").string(), "--base", (t.path / "a").string(),
                          "-o", twoSteps, "--stub", FIXTURE_RSRC_LAST})
                     .status);
    EXPECT_TRUE(ReadFile(exe) == ReadFile(twoSteps)) << "the same releases, the same patch";
    // A deletion needs an updater that deletes: a stub that declares no such feature is refused.
    WriteFile(t.path / "a" / "old.dat", "o");
    r = RunTool(args);
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("deletions")) << r.err;
}

} // namespace
