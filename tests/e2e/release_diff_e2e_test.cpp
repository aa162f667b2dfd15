// The real UPDATE.exe made by mkupdate diff and build from three small releases of a game (0.9
// and 1.0 to 1.1; tests/e2e/data/make_diff_releases.py): an installation of each older release
// becomes exactly the new one. Files of one name in several folders change, files come and go,
// a file becomes a folder and a folder a file, the player's file that --keep names stays as it
// was, and nothing else is touched or left over.
#include <stdlib.h>

#include <string>
#include <vector>

#include "e2e/e2e_fixture.h"
#include "win/tree_snapshot.h"

namespace {

const uint64_t kReleaseTime = 0x01D6000000000000ull; // in 2020, before the patch's files

class ReleaseDiffE2ETest : public UpdaterRunTest {
  protected:
    void SetUp() override {
        UpdaterRunTest::SetUp();
        const char* value = getenv("QV_DIFF_RELEASES");
        ASSERT_TRUE(value) << "QV_DIFF_RELEASES names the releases and the UPDATE.exe built";
        releases = WindowsPath(value);
    }

    std::string releases;
};

TEST_F(ReleaseDiffE2ETest, EachOlderReleaseBecomesTheNewOne) {
    const TreeSnapshot wanted = TakeSnapshot(releases + "\\1.1");
    // What mkupdate diff put in the patch folder: the files the patch carries.
    const TreeSnapshot carried = TakeSnapshot(releases + "\\patch");
    ASSERT_TRUE(carried.count("bgm\\01.ogg") && carried.count("voice\\01.ogg"));
    ASSERT_TRUE(carried.count("manual\\index.txt") && carried.count("bonus"));
    for (const char* release : {"0.9", "1.0"}) {
        ScratchFolder::RemoveContents(install);
        CopyTree(releases + "\\" + release, install, kReleaseTime);
        const TreeSnapshot before = TakeSnapshot(install);
        const std::string exe = folder.File("UPDATE.exe");
        ASSERT_TRUE(CopyFileA((releases + "\\diff-update.exe").c_str(), exe.c_str(), FALSE));
        // The first page, the confirm page, then the completion page.
        const Transcript t = RunExe(exe, {"click:1", "click:1", "click:1"});
        EXPECT_EQ(1u, t.exitCode) << release << ": " << t.Text();
        const TreeSnapshot after = TakeSnapshot(install);
        for (const auto& [path, entry] : wanted) {
            const auto got = after.find(path);
            const auto old = before.find(path);
            if (path == "save\\config.dat") {
                EXPECT_TRUE(got != after.end() && old != before.end() &&
                            got->second.bytes == old->second.bytes &&
                            got->second.writeTime == kReleaseTime)
                    << release << ": the kept file was touched";
                continue;
            }
            ASSERT_TRUE(got != after.end()) << release << ": " << path << " is missing";
            EXPECT_TRUE(got->second.bytes == entry.bytes) << release << ": " << path;
            // A file the patch does not carry stays untouched.
            if (!carried.count(path) && !(entry.attributes & FILE_ATTRIBUTE_DIRECTORY)) {
                EXPECT_EQ(kReleaseTime, got->second.writeTime) << release << ": " << path;
            }
        }
        for (const auto& [path, entry] : after)
            EXPECT_TRUE(wanted.count(path)) << release << ": " << path << " is left over";
        EXPECT_TRUE(RunLeftovers(install).empty()) << release;
    }
}

} // namespace
