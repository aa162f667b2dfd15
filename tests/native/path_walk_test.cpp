#include "core/path_walk.h"

#include <gtest/gtest.h>

#include <string>

#include "shared/char_step.h"

namespace {

// The names the gate would open below a held folder, joined by "|"; "" when it refuses the path.
std::string Names(const char* path, const char* folder) {
    WalkNames names;
    if (!SplitBelow(path, folder, &names, TestCharStep))
        return "";
    std::string out;
    for (int i = 0; i < names.count; ++i)
        out += (i ? "|" : "") + std::string(path + names.start[i], names.length[i]);
    return out;
}

TEST(PathWalk, SplitsOnlyWhatLiesBelowTheFolder) {
    struct Case {
        const char* path;
        const char* folder;
        const char* names;
    };
    const Case cases[] = {
        {"C:\\game\\sub\\a.dat", "C:\\game", "sub|a.dat"},
        {"G:\\a", "G:\\", "a"},
        {"C:\\game\\\x95\x5C\\a.dat", "C:\\game", "\x95\x5C|a.dat"}, // trail byte 0x5C
        {"C:\\game\\\x83\x41", "C:\\game", "\x83\x41"},
        {"C:\\\x95\x5C\\a.dat", "C:\\\x95\x5C", "a.dat"}, // a folder ending in one
        {"C:\\game", "C:\\game", ""},
        {"C:\\gamex\\a.dat", "C:\\game", ""},
        {"C:\\GAME\\a.dat", "C:\\game", ""}, // the folder byte for byte
        {"C:\\g\x95\\a", "C:\\g\x95", ""},   // its last byte leads a character
        {"C:\\game\\..\\windows", "C:\\game", ""},
        {"C:\\game\\.\\a.dat", "C:\\game", ""},
        {"C:\\game\\sub\\\\a.dat", "C:\\game", ""},
        {"C:\\game\\sub\\", "C:\\game", ""},
        {"C:\\game\\a/b", "C:\\game", ""},
        {"C:\\game\\a.dat:s", "C:\\game", ""},
        {"C:\\game\\CON.txt", "C:\\game", ""},
        {"C:\\game\\a.", "C:\\game", ""},
        {"C:\\game\\PROGRA~1", "C:\\game", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.names, Names(c.path, c.folder)) << c.path << " below " << c.folder;
}

TEST(PathWalk, FinalPathsCompareAsThePlatformComparesNames) {
    struct Case {
        const char* a;
        const char* b;
        bool same, below;
    };
    const Case cases[] = {
        {"C:\\Game\\A.DAT", "c:\\game\\a.dat", true, true},
        {"C:\\game\\a.dat", "C:\\game", false, true},
        {"G:\\a", "G:\\", false, true},
        {"C:\\gamex", "C:\\game", false, false},
        {"Z:\\tmp\\outside\\a.dat", "C:\\game\\a.dat", false, false},
        {"C:\\game\\\x83\x61", "C:\\game\\\x83\x41", false, false}, // a trail byte keeps its case
        {"C:\\game\\\x83\x41", "C:\\game\\\x83\x41", true, true},
        {"C:\\game\\\x83", "C:\\game\\\x83", true, true},
        {"C:\\\x95\x5C\\a", "C:\\\x95\x5C", false, true},
        {"C:\\\x95\x5C"
         "a",
         "C:\\\x95\x5C", false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.same, IsSamePlace(c.a, c.b, TestCharStep) != 0) << c.a << " / " << c.b;
        EXPECT_EQ(c.below, IsSameOrBelow(c.a, c.b, TestCharStep) != 0) << c.a << " / " << c.b;
    }
}

} // namespace
