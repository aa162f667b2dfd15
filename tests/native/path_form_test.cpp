#include "core/path_form.h"

#include <gtest/gtest.h>

#include <string.h>

#include "shared/char_step.h"

namespace {

// The forms another program could use to make a recorded path lead somewhere else, and the
// forms the updater itself writes.
TEST(PathForm, OnlyTheOneExactFormIsAccepted) {
    struct Case {
        const char* path;
        bool exact;
    };
    const Case cases[] = {
        {"C:\\game\\patch\\a.dat", true},
        {"G:\\", true},
        {"G:\\a.dat", true},
        {"C:\\game\\\x95\x5C\\a.dat", true}, // a trail byte 0x5C is no separator
        {"C:\\game\\~qv0123abcd.new", true},
        {"C:\\game\\console.txt", true},
        {"C:\\game\\~qv/../../victim\\x", false},
        {"C:\\game\\x/../../windows\\f.ini", false},
        {"C:\\game\\..\\windows", false},
        {"C:\\game\\.\\a.dat", false},
        {"C:\\game\\", false},
        {"C:\\game\\\\a.dat", false},
        {"C:\\game\\a.dat:stream", false},
        {"C:\\game\\a.dat.", false},
        {"C:\\game\\a.dat ", false},
        {"C:\\game\\CON", false},
        {"C:\\game\\nul.txt", false},
        {"C:\\game\\com1", false},
        {"C:\\game\\lpt9.dat", false},
        {"C:\\PROGRA~1\\game", false},
        {"C:\\game\\A~12.DAT", false},
        {"C:\\game\\a*.dat", false},
        {"C:\\game\\a\tb", false},
        {"\\\\server\\share\\game", false},
        {"\\game\\a.dat", false},
        {"C:game", false},
        {"C:", false},
        {"", false},
        {"C:\\game\\\x95", false}, // a lead byte alone at the end would take a separator
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.exact, IsCanonicalPath(c.path, TestCharStep) != 0) << c.path;
    char longPath[400] = "C:\\";
    memset(longPath + 3, 'a', 300);
    EXPECT_FALSE(IsCanonicalPath(longPath, TestCharStep));
}

TEST(PathForm, InsideAndRunNamesAreTakenByteForByte) {
    EXPECT_TRUE(IsStrictlyInside("C:\\game\\a.dat", "C:\\game"));
    EXPECT_TRUE(IsStrictlyInside("G:\\a.dat", "G:\\"));
    EXPECT_FALSE(IsStrictlyInside("C:\\game", "C:\\game"));
    EXPECT_FALSE(IsStrictlyInside("C:\\gamex\\a.dat", "C:\\game"));
    EXPECT_FALSE(IsStrictlyInside("C:\\GAME\\a.dat", "C:\\game"));
    EXPECT_FALSE(IsStrictlyInside("G:\\", "G:\\"));
    EXPECT_FALSE(IsStrictlyInside("C:\\game\\\\a", "C:\\game"));

    const char* target = "C:\\game\\\x95\x5C\\a.dat";
    EXPECT_TRUE(
        IsRunNameBeside("C:\\game\\\x95\x5C\\~qv0123abcd.new", target, ".new", TestCharStep));
    const char* wrong[] = {
        "C:\\game\\~qv0123abcd.new",                 // another folder
        "C:\\game\\\x95\x5C\\~qv0123abcd.old",       // another extension
        "C:\\game\\\x95\x5C\\~qv0123ABCD.new",       // not as written
        "C:\\game\\\x95\x5C\\~qv0123abc.new",        // seven digits
        "C:\\game\\\x95\x5C\\~qv0123abcd.new\\x",    // below it
        "C:\\game\\\x95\x5C\\x\\..\\~qv0123abcd.new" // a detour
    };
    for (const char* name : wrong)
        EXPECT_FALSE(IsRunNameBeside(name, target, ".new", TestCharStep)) << name;

    char folders[][16] = {"G:\\", "C:\\game\\", "C:\\game\\\\", "C:\\\x95\x5C"};
    const char* dropped[] = {"G:\\", "C:\\game", "C:\\game", "C:\\\x95\x5C"};
    for (int i = 0; i < 4; ++i) {
        DropTrailingBackslash(folders[i], TestCharStep);
        EXPECT_STREQ(dropped[i], folders[i]);
    }
}

} // namespace
