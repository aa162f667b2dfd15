// verify --base OLD --expect NEW: the patch applied to a copy of each older release as the
// updater applies it, and every difference from the new release named.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tools/tool_test_support.h"

#ifndef EXAMPLES_DIR
#error the build passes the folder of the examples
#endif

namespace {

namespace fs = std::filesystem;

// A copy of a sample folder whose files are older than anything a patch carries, as an
// installation is (an Update item leaves a newer file alone).
fs::path CopyOld(const fs::path& from, const fs::path& to) {
    fs::copy(from, to, fs::copy_options::recursive);
    for (const auto& e : fs::recursive_directory_iterator(to))
        if (e.is_regular_file())
            fs::last_write_time(e.path(),
                                fs::file_time_type::clock::now() - std::chrono::hours(24 * 3650));
    return to;
}

const fs::path kExamples = EXAMPLES_DIR;

// 1.01 as its publisher means it: 1.00 with the files that the sample patch's items write to an
// installation of 1.00 (its Overwrite item for EXTRA.DAT finds nothing to replace; its disc
// copy is no file of the patch).
fs::path SampleNew(const fs::path& to) {
    fs::copy(kExamples / "sample-releases" / "1.00", to, fs::copy_options::recursive);
    for (const char* f :
         {"GAME.EXE", "CONFIG.DAT", "OPTION.DAT", "data/SCENARIO.DAT", "data/EVENT.DAT"})
        fs::copy_file(kExamples / "sample-delta-patch" / f, to / f,
                      fs::copy_options::overwrite_existing);
    return to;
}

struct Case {
    std::string what;
    // Lays out the releases and the patch folder under root; fills the arguments of verify
    // after the payload (the --base and --expect options).
    std::function<fs::path(const fs::path& root, std::vector<std::string>* args)> prepare;
    int status;
    std::vector<std::string> told;   // on standard output or error, each
    std::vector<std::string> untold; // on neither
};

fs::path SamplePatch(const fs::path& root) {
    fs::copy(kExamples / "sample-delta-patch", root / "patch", fs::copy_options::recursive);
    return root / "patch";
}

std::vector<std::string> Bases(const fs::path& root) {
    return {"--base", CopyOld(kExamples / "sample-releases" / "0.90", root / "0.90").string(),
            "--base", CopyOld(kExamples / "sample-releases" / "1.00", root / "1.00").string()};
}

// A release pair: OLD holds MOVIE as a file, NEW as a folder with a file in it (or the reverse),
// and the patch diff makes of them, written out: the one deleted, the other written, the
// folders the run makes asked for (CreateFolders=1). foreign puts a file of the player's in the
// installed folder that the patch does not delete.
fs::path FileAndFolder(const fs::path& root, std::vector<std::string>* args, bool toFolder,
                       bool foreign = false) {
    for (const char* r : {"old", "new"}) {
        WriteFile(root / r / "SETUP.INI", "[SETUP]\r\nCompanyName=C\r\nGameTitle=T\r\nGameDir=D\r\n"
                                          "GameClass=K\r\n");
        WriteFile(root / r / "GAME.EXE", std::string("program ") + r);
    }
    const bool folderInOld = !toFolder;
    WriteFile(root / (folderInOld ? "old" : "new") / "MOVIE" / "OP.DAT", "opening");
    WriteFile(root / (folderInOld ? "old" : "new") / "MOVIE" / "IN" / "ED.DAT", "ending");
    WriteFile(root / (folderInOld ? "new" : "old") / "MOVIE", "a file named like the folder");
    CopyOld(root / "old", root / "base");
    if (foreign)
        WriteFile(root / "base" / "MOVIE" / "IN" / "SAVE.DAT", "the player's");
    const std::string written =
        toFolder ? "MOVIE\\OP.DAT\r\nUpdateFile02=MOVIE\\IN\\ED.DAT" : "MOVIE";
    const std::string deleted =
        toFolder ? "MOVIE" : "MOVIE\\IN\\ED.DAT\r\nDeleteFile01=MOVIE\\OP.DAT";
    fs::copy(root / "new", root / "patch", fs::copy_options::recursive);
    fs::remove(root / "patch" / "SETUP.INI");
    WriteFile(root / "patch" / "UPDATE.INI",
              "[SETUP]\r\nCompanyName=C\r\nGameTitle=T\r\nGameDir=D\r\nGameClass=K\r\n"
              "[UPDATE]\r\nCreateFolders=1\r\nUpdateFile00=GAME.EXE\r\nUpdateFile01=" +
                  written + "\r\nDeleteFile00=" + deleted + "\r\n");
    *args = {"--base", (root / "base").string(), "--expect", (root / "new").string()};
    return root / "patch";
}

TEST(MkupdateVerifyExpect, EachOlderReleaseAgainstTheNewOne) {
    const std::vector<Case> cases = {
        {"the sample releases, both turned into 1.01",
         [](const fs::path& root, std::vector<std::string>* args) {
             *args = Bases(root);
             args->insert(args->end(), {"--expect", SampleNew(root / "1.01").string()});
             return SamplePatch(root);
         },
         0,
         {"0.90: the update turns it into", "1.00: the update turns it into",
          "1 disc copy is not made here", "(deltas, modeled deltas)"},
         {"differs:", "missing:", "extra:"}},
        {"a patch whose SCENARIO.DAT was edited: the file is named, nothing else",
         [](const fs::path& root, std::vector<std::string>* args) {
             const fs::path patch = SamplePatch(root);
             WriteFile(patch / "data" / "SCENARIO.DAT", "scenario, version 1.01 with a typo\r\n");
             *args = Bases(root);
             args->insert(args->end(), {"--expect", SampleNew(root / "1.01").string()});
             return patch;
         },
         1,
         {"0.90: differs: data/SCENARIO.DAT:", "1.00: differs: data/SCENARIO.DAT:", "2 problems"},
         {"GAME.EXE", "EVENT.DAT", "turns it into"}},
        {"a new release with a file the patch lacks, one it should remove, an empty folder",
         [](const fs::path& root, std::vector<std::string>* args) {
             const fs::path expected = SampleNew(root / "1.01");
             WriteFile(expected / "data" / "NEW.DAT", "new");
             fs::remove(expected / "OPTION.DAT");
             fs::create_directory(expected / "EMPTY");
             fs::copy_file(kExamples / "sample-releases" / "0.90" / "GAME.EXE",
                           expected / "GAME.EXE", fs::copy_options::overwrite_existing);
             *args = {"--base",
                      CopyOld(kExamples / "sample-releases" / "1.00", root / "1.00").string(),
                      "--expect", expected.string()};
             return SamplePatch(root);
         },
         1,
         {"missing: data/NEW.DAT", "extra: OPTION.DAT", "missing: EMPTY (a folder)",
          "differs: GAME.EXE: the same size, first differing at byte 28", "4 problems"},
         {"SCENARIO"}},
        {"the player's own CONFIG.DAT (a Data item) is kept, and the release with it",
         [](const fs::path& root, std::vector<std::string>* args) {
             const fs::path base = CopyOld(kExamples / "sample-releases" / "1.00", root / "1.00");
             WriteFile(base / "CONFIG.DAT", "the player's settings");
             const fs::path expected = SampleNew(root / "1.01");
             WriteFile(expected / "CONFIG.DAT", "the player's settings");
             *args = {"--base", base.string(), "--expect", expected.string()};
             return SamplePatch(root);
         },
         0,
         {"the update turns it into"},
         {"differs:"}},
        {"a release the patch is not for: its version check stops the update",
         [](const fs::path& root, std::vector<std::string>* args) {
             const fs::path base = CopyOld(kExamples / "sample-releases" / "1.00", root / "1.00");
             fs::remove(base / "GAME.EXE");
             *args = {"--base", base.string(), "--expect", SampleNew(root / "1.01").string()};
             return SamplePatch(root);
         },
         1,
         {"the update stops: the version check e,GAME.EXE fails"},
         {"differs", "turns it into"}},
        // A file traded for a folder of its name, and the reverse: deleted first, then written.
        {"a file becomes a folder",
         [](const fs::path& root, std::vector<std::string>* args) {
             return FileAndFolder(root, args, true);
         },
         0,
         {"the update turns it into"},
         {"differs:", "missing:", "extra:"}},
        {"a folder becomes a file",
         [](const fs::path& root, std::vector<std::string>* args) {
             return FileAndFolder(root, args, false);
         },
         0,
         {"the update turns it into"},
         {"differs:", "missing:", "extra:"}},
        {"a folder holding a file the patch does not delete stays: the update stops",
         [](const fs::path& root, std::vector<std::string>* args) {
             return FileAndFolder(root, args, false, true);
         },
         1,
         {"the update stops: ファイルの書き込みに失敗しました (the folder MOVIE/IN holds what"},
         {"turns it into"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempFolder t;
        std::vector<std::string> args;
        const fs::path patch = c.prepare(t.path, &args);
        const fs::path payload = t.path / "p.qv2";
        // Packed with the same older releases as bases: the deltas are applied too.
        std::vector<std::string> packArgs = {"pack", patch.string(), "-o", payload.string()};
        for (size_t i = 0; i + 1 < args.size(); i += 2)
            if (args[i] == "--base")
                packArgs.insert(packArgs.end(), {"--base", args[i + 1]});
        const RunResult pack = RunTool(packArgs);
        ASSERT_EQ(0, pack.status) << pack.err;
        // The tool's own folder goes into a temporary folder of the test's, which must be
        // left empty.
        const fs::path temp = t.path / "tmp";
        fs::create_directory(temp);
        const char* tmpdir = getenv("TMPDIR");
        const std::string saved = tmpdir ? tmpdir : "";
        setenv("TMPDIR", temp.c_str(), 1);
        args.insert(args.begin(), {"verify", payload.string()});
        const auto bases = [&args] {
            std::map<std::string, std::pair<std::string, fs::file_time_type>> files;
            for (size_t i = 0; i + 1 < args.size(); ++i) {
                if (args[i] != "--base")
                    continue;
                for (const auto& e : fs::recursive_directory_iterator(args[i + 1]))
                    files[e.path().string()] = {e.is_regular_file() ? ReadFile(e.path()) : "",
                                                fs::last_write_time(e.path())};
            }
            return files;
        };
        const auto before = bases();
        const RunResult r = RunTool(args);
        EXPECT_TRUE(before == bases()) << "the older releases are left as they were";
        tmpdir ? setenv("TMPDIR", saved.c_str(), 1) : unsetenv("TMPDIR");
        EXPECT_EQ(c.status, r.status) << r.out << r.err;
        const std::string all = r.out + r.err;
        for (const std::string& line : c.told)
            EXPECT_TRUE(Has(all, line)) << line << "\n" << all;
        for (const std::string& line : c.untold)
            EXPECT_FALSE(Has(all, line)) << line << "\n" << all;
        EXPECT_TRUE(fs::is_empty(temp)) << "left behind in " << temp;
    }
}

TEST(MkupdateVerifyExpect, ExpectNeedsBasesAndAFolder) {
    TempFolder t;
    const fs::path payload = t.path / "p.qv2";
    ASSERT_EQ(0,
              RunTool({"pack", (kExamples / "sample-delta-patch").string(), "-o", payload.string()})
                  .status);
    ExpectOneLineReason(RunTool({"verify", payload.string(), "--expect", t.path.string()}),
                        "--expect NEW needs --base OLD");
    ExpectOneLineReason(RunTool({"verify", payload.string(), "--base", t.path.string(), "--expect",
                                 (t.path / "none").string()}),
                        "is not a folder");
}

} // namespace
