#include "update/update_items.h"

#include <gtest/gtest.h>

#include <string>

namespace {

bool Cp932Lead(unsigned char b) {
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

struct UpdateCase {
    const char* value;
    ItemKind kind;
    int mode;
    const char* path;
};

TEST(ParseUpdateItem, SelectorsAndModeWords) {
    // The installation's mode is 1 throughout.
    const UpdateCase cases[] = {
        {"1,u,a.dat", kItemStored, Update, "a.dat"},
        {"2,u,a.dat", kItemSkipped, 0, ""},
        {"12,u,a.dat", kItemStored, Always, "12"},
        {"1,a.dat", kItemStored, Always, "a.dat"},
        {"5", kItemSkipped, 0, ""},
        {"1", kItemStored, Always, ""},
        {"U,a.dat", kItemStored, Update, "a.dat"},
        {"d,save\\s.dat", kItemStored, Data, "save\\s.dat"},
        {"O,x.dat", kItemStored, Overwrite, "x.dat"},
        {"a.dat", kItemStored, Always, "a.dat"},
        {" u , b.dat", kItemStored, Always, "u "}, // a blank after the word stays in it
        {" u,b.dat ,ignored", kItemStored, Update, "b.dat "},
        {"u,C:\\x", kItemStored, Update, "\\x"},
        {"e,game.exe", kItemCheck, 0, "game.exe"},
        {"3,e,game.exe", kItemCheck, 0, "game.exe"},
        {"uu,a.dat", kItemStored, Always, "uu"},
        {"1,,a.dat", kItemStored, Always, ""},
    };
    for (const UpdateCase& c : cases) {
        UpdateItem item = {};
        EXPECT_EQ(c.kind, ParseUpdateItem(c.value, 1, Cp932Lead, &item)) << c.value;
        if (c.kind == kItemStored) {
            EXPECT_EQ(c.mode, item.mode) << c.value;
        }
        if (c.kind != kItemSkipped) {
            EXPECT_STREQ(c.path, item.path) << c.value;
        }
    }
}

TEST(NameOffset, OnlySingleByteBackslashesSeparate) {
    struct Case {
        const char* path;
        int offset;
    };
    const Case cases[] = {
        {"a.dat", 0},
        {"sys\\a.dat", 4},
        {"a\\b\\c.dat", 4},
        {"sys/a.dat", 0},
        {"\x95\x5C"
         "a.dat",
         0}, // 表a.dat: the trail byte is no separator
        {"dir\\\x95\x5C"
         "\\a.dat",
         7},                    // dir\表\a.dat
        {"\x95\x5C\\b.dat", 3}, // 表\b.dat
        {"dir\\", 4},
        {"\x95", 0}, // a lead byte at the end stands alone
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.offset, NameOffset(c.path, Cp932Lead)) << c.path;
}

TEST(ParseCopyItem, PrefixesByCharacterPosition) {
    struct Case {
        const char* value;
        ItemKind kind;
        int disc;
        const char* path;
    };
    const Case cases[] = {
        {"movie\\op.mpg", kItemStored, 0, "movie\\op.mpg"},
        {"2:movie\\op.mpg", kItemStored, 2, "movie\\op.mpg"},
        {"1,2:movie", kItemStored, 2, "movie"},
        {"3,2:movie", kItemSkipped, 0, ""},
        {"1,movie, with commas", kItemStored, 0, "movie, with commas"},
        {"a,x", kItemSkipped, 0, ""},
        {"0:x", kItemStored, 0, "x"},
        {"A:x", kItemBadDisc, 0, ""},
        {"1,?:x", kItemBadDisc, 0, ""},
        {"9,A:x", kItemSkipped, 0, ""},
    };
    for (const Case& c : cases) {
        CopyItem item = {};
        EXPECT_EQ(c.kind, ParseCopyItem(c.value, 1, &item)) << c.value;
        if (c.kind == kItemStored) {
            EXPECT_EQ(c.disc, item.disc) << c.value;
            EXPECT_STREQ(c.path, item.path) << c.value;
        }
    }
}

TEST(ParseByteCount, UnsignedSixtyFourBits) {
    EXPECT_EQ(0u, ParseByteCount(""));
    EXPECT_EQ(0u, ParseByteCount("abc"));
    EXPECT_EQ(4294967291u, ParseByteCount(" -5"));
    EXPECT_EQ(0u, ParseByteCount("-0"));
    EXPECT_EQ(2147483648u, ParseByteCount("-99999999999"));
    EXPECT_EQ(5000000000ull, ParseByteCount(" 5000000000 bytes"));
    EXPECT_EQ(4294967296ull, ParseByteCount("+4294967296"));
    EXPECT_EQ(UINT64_MAX, ParseByteCount("18446744073709551615"));
    EXPECT_EQ(UINT64_MAX, ParseByteCount("99999999999999999999999"));
}

} // namespace
