#include "core/text.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "shared/char_step.h"

namespace {

// 表 in CP932 is 0x95 0x5C: its trail byte is the backslash's byte.
const char kTrail5C[] = "\x95\x5C";

struct ListCase {
    const char* value;
    std::vector<std::pair<std::string, int>> items; // item, ItemDiskNumber after it
};

TEST(NextListItem, WorkedExamples) {
    const ListCase cases[] = {
        {"a,b", {{"a", 0}, {"b", 0}}},
        {" 1:x, y", {{"x", 1}, {"y", 1}}},
        {"2:a,b,0:c", {{"a", 2}, {"b", 2}, {"c", 0}}},
        {"a , b", {{"a ", 0}, {"b", 0}}},
        {"a,,b", {{"a", 0}}},
        {",a", {}},
        {"1:", {{"", 1}}},
        {"1:,x", {{"", 1}, {"x", 1}}},
        {"1: a", {{" a", 1}}},
        {"A:b", {{"b", 0}}},
        {"12:x", {{"12:x", 0}}},
        {"C:\\x", {{"\\x", 0}}},
        {" , ,", {}},
        {"a\r\nb", {{"a", 0}}},
    };
    for (const ListCase& c : cases) {
        char value[kTextSize] = {0};
        strcpy(value, c.value);
        ItemDiskNumber = 0;
        const char* cursor = value;
        for (const auto& expected : c.items) {
            char item[kPathSize];
            memset(item, 0xCC, sizeof item);
            ASSERT_EQ(1, NextListItem(item, &cursor)) << "'" << c.value << "'";
            EXPECT_EQ(expected.first, item) << "'" << c.value << "'";
            EXPECT_EQ(expected.second, ItemDiskNumber) << "'" << c.value << "'";
        }
        // The end, once reached, holds at one place (the first call may still skip blanks),
        // and the item buffer is never touched again.
        const char* end = nullptr;
        for (int again = 0; again < 3; ++again) {
            char item[kPathSize];
            memset(item, 0xCC, sizeof item);
            EXPECT_EQ(0, NextListItem(item, &cursor)) << "'" << c.value << "'";
            if (end) {
                EXPECT_EQ(end, cursor) << "'" << c.value << "'";
            }
            end = cursor;
            EXPECT_EQ((char)0xCC, item[0]) << "'" << c.value << "'";
        }
    }
}

TEST(NextListItem, DoubleByteTextPassesWhole) {
    char value[kTextSize];
    snprintf(value, sizeof value, "1:%sx.dat,%s", kTrail5C, kTrail5C);
    const char* cursor = value;
    char item[kPathSize];
    ASSERT_EQ(1, NextListItem(item, &cursor));
    EXPECT_EQ(std::string(kTrail5C) + "x.dat", item);
    ASSERT_EQ(1, NextListItem(item, &cursor));
    EXPECT_STREQ(kTrail5C, item);
}

TEST(NextListItem, LongItemStaysInItsSlot) {
    std::string value(600, 'w');
    value += ",next";
    char slot[kPathSize + 16];
    memset(slot, 0xCC, sizeof slot);
    const char* cursor = value.c_str();
    ASSERT_EQ(1, NextListItem(slot, &cursor));
    EXPECT_EQ(std::string(kPathSize - 1, 'w'), slot);
    for (size_t i = kPathSize; i < sizeof slot; ++i)
        ASSERT_EQ((char)0xCC, slot[i]) << "byte " << i << " past the slot was written";
    ASSERT_EQ(1, NextListItem(slot, &cursor)) << "the cursor moved past the whole long item";
    EXPECT_STREQ("next", slot);
}

std::string Joined(const std::string& folder, const char* name) {
    char buffer[kPathSize];
    memset(buffer, 0xCC, sizeof buffer);
    strcpy(buffer, folder.c_str());
    EXPECT_EQ(1, JoinPathWith(buffer, kPathSize, name, TestCharStep)) << folder;
    const size_t length = strlen(buffer);
    EXPECT_EQ(0, buffer[length + 1]) << "second NUL after " << folder;
    return buffer;
}

TEST(JoinPath, OneBackslashBetween) {
    EXPECT_EQ("\\a", Joined("", "a"));
    EXPECT_EQ("C:\\dir\\a", Joined("C:\\dir", "a"));
    EXPECT_EQ("C:\\dir\\a", Joined("C:\\dir\\", "a"));
    EXPECT_EQ("C:\\dir\\\\a", Joined("C:\\dir", "\\a")) << "a leading backslash of the name stays";
    EXPECT_EQ(std::string("C:\\") + kTrail5C + "\\a", Joined(std::string("C:\\") + kTrail5C, "a"))
        << "a trail byte 0x5C is not a backslash";
    EXPECT_EQ(std::string("C:\\") + kTrail5C + "\\\\a",
              Joined(std::string("C:\\") + kTrail5C + "\\", "\\a"));
}

TEST(JoinPath, RefusesWhatDoesNotFit) {
    // 258 bytes and the second NUL fill 260 exactly; one more byte does not fit.
    const std::string folder(200, 'f');
    EXPECT_EQ(258u, Joined(folder, std::string(57, 'n').c_str()).size());
    char buffer[kPathSize];
    strcpy(buffer, folder.c_str());
    EXPECT_EQ(0, JoinPathWith(buffer, kPathSize, std::string(58, 'n').c_str(), TestCharStep));
    EXPECT_EQ(folder, buffer) << "a refused join leaves the folder as it was";
}

TEST(ConvertLineBreaks, BackslashNBecomesACarriageReturn) {
    struct Case {
        std::string in, out;
    };
    const Case cases[] = {
        {"a\\nb", "a\rb"},
        {"\\\\n", "\\\r"},
        {"a\\tb\\", "a\\tb\\"},
        {"\\N", "\\N"},
        {std::string(kTrail5C) + "n", std::string(kTrail5C) + "n"},
        {std::string(kTrail5C) + "\\n", std::string(kTrail5C) + "\r"},
        {"", ""},
    };
    for (const Case& c : cases) {
        char out[kTextSize];
        memset(out, 0xCC, sizeof out);
        ConvertLineBreaks(c.in.c_str(), out, TestCharStep);
        EXPECT_EQ(c.out, out) << "'" << c.in << "'";
    }
}

TEST(ParseDecimal, ReadsLikeTheProfileValues) {
    struct Case {
        const char* text;
        int32_t value;
    };
    const Case cases[] = {
        {"12abc", 12},
        {"abc", 0},
        {" 3", 3},
        {"-1", -1},
        {"+7", 7},
        {"\t 42 ", 42},
        {"- 1", 0},
        {"", 0},
        {"0x10", 0},
        {"99999999999", INT32_MAX},
        {"-99999999999", INT32_MIN},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.value, ParseDecimal(c.text)) << "'" << c.text << "'";
}

TEST(ParseDecimal64, ReadsSixtyFourBitValues) {
    struct Case {
        const char* text;
        int64_t value;
    };
    const Case cases[] = {
        {"5000000000", 5000000000ll},
        {" -12x", -12},
        {"9223372036854775807", INT64_MAX},
        {"-9223372036854775808", INT64_MIN},
        {"9223372036854775808", INT64_MAX},
        {"-99999999999999999999", INT64_MIN},
        {"abc", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.value, ParseDecimal64(c.text)) << "'" << c.text << "'";
}

} // namespace

namespace {

TEST(PathLeavesFolder, OnlyAClimbAboveTheStartLeaves) {
    struct Case {
        const char* path;
        int leaves;
    };
    const Case cases[] = {
        {"", 0},
        {"a.dat", 0},
        {"sys\\a.dat", 0},
        {"sys\\..\\a.dat", 0},
        {"..\\a.dat", 1},
        {"..", 1},
        {"sys\\..\\..\\a.dat", 1},
        {"../a.dat", 1},
        {"sys/../../a.dat", 1},
        {"...\\a.dat", 1}, // the platform drops trailing dots: "..." is ".."
        {".. \\a.dat", 1}, // and trailing blanks
        {". .\\a.dat", 1},
        {".\\a.dat", 0},
        {"..a\\b", 0}, // a name that begins with dots
        {"a..\\b", 0},
        {"\\..\\a.dat", 1}, // a leading separator joins to the folder all the same
        {"a\\\\..\\b", 0},
        {"\x95\x5C..\\a.dat", 0}, // 表.. is one name: the trail byte is no separator
        {"\x95\x5C\\..\\..\\a.dat", 1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.leaves, PathLeavesFolder(c.path, TestCharStep)) << "'" << c.path << "'";
}

} // namespace
