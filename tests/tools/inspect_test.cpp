// Payloads made elsewhere: what list, verify and extract do with entries mkupdate never writes.
#include "mkupdate/inspect.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/archive_format.h"
#include "payload/archive_writer.h"
#include "tools/tool_test_support.h"

namespace {

std::vector<uint8_t> Archive(const std::vector<std::string>& names) {
    static const std::string bytes = "entry bytes";
    std::vector<ArchiveInput> entries;
    for (const std::string& n : names)
        entries.push_back(ArchiveInput{n, (const uint8_t*)bytes.data(), bytes.size(),
                                       0x01D9000000000000ull, true, true});
    std::vector<uint8_t> image;
    std::string error;
    EXPECT_EQ(1, BuildArchive(entries, kIndexCompressed | kIndexScrambled, &image, &error));
    return image;
}

bool Reports(const std::vector<std::string>& problems, const std::string& text) {
    for (const std::string& p : problems)
        if (p.find(text) != std::string::npos)
            return true;
    return false;
}

TEST(MkupdateInspect, EntryNamesThatLeaveTheFolderAreNotExtracted) {
    for (const char* name : {"..\\EVIL.DAT", "sub/EVIL.DAT", "C:EVIL.DAT", ".."}) {
        TempFolder t;
        std::vector<uint8_t> image = Archive({"UPDATE.INI", name});
        std::vector<std::string> problems;
        EXPECT_EQ(0, VerifyPayload(image, &problems)) << name;
        std::string error;
        EXPECT_EQ(0, ExtractPayload(image, t.path / "out", {}, &error)) << name;
        EXPECT_NE(std::string::npos, error.find("no safe file name")) << name << ": " << error;
        EXPECT_FALSE(std::filesystem::exists(t.path / "out")) << "nothing is written: " << name;
    }
}

TEST(MkupdateInspect, VerifyTellsWhatTheUpdaterWouldMiss) {
    std::vector<uint8_t> image = Archive({"GAME.DAT", "game.dat"});
    std::vector<std::string> problems;
    EXPECT_EQ(0, VerifyPayload(image, &problems));
    EXPECT_TRUE(Reports(problems, "never reads this one"));
    EXPECT_TRUE(Reports(problems, "no UPDATE.INI entry"));
    // Bytes after the index: a compressed index must end the archive.
    image = Archive({"UPDATE.INI"});
    image.push_back(0);
    EXPECT_EQ(0, VerifyPayload(image, &problems));
    EXPECT_TRUE(Reports(problems, "index:")) << (problems.empty() ? "" : problems[0]);
}

TEST(MkupdateInspect, ListShowsSizesMethodsAndTime) {
    std::string listing, error;
    ASSERT_EQ(1, ListPayload(Archive({"UPDATE.INI"}), &listing, &error)) << error;
    // 0x01D9000000000000 ticks after 1601 is 2022-11-24 12:26:38 UTC.
    EXPECT_NE(std::string::npos, listing.find("2022-11-24 12:26:38")) << listing;
    EXPECT_NE(std::string::npos, listing.find("compressed")) << listing;
    EXPECT_NE(std::string::npos, listing.find("UPDATE.INI")) << listing;
}

} // namespace
