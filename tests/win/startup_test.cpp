#include "app/startup.h"

#include <gtest/gtest.h>

#include <stdio.h>

#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/archive_format.h"
#include "core/messages.h"
#include "core/profile.h"
#include "payload/archive_writer.h"
#include "win/win_test_support.h"

namespace {

TEST(InstallModeOf, NonZeroNumberMeansInstall) {
    struct Case {
        const char* value;
        int32_t mode;
    };
    const Case cases[] = {{"0", 0}, {"abc", 0}, {"", 0},   {"1", 1},
                          {"2", 1}, {" 3", 1},  {"-1", 1}, {"0x1", 0}};
    for (const Case& c : cases)
        EXPECT_EQ(c.mode, InstallModeOf(c.value)) << "'" << c.value << "'";
}

// Global memory requests, counted; the k-th one fails. Blocks still held are counted too.
int Allocations = 0, FailAllocation = 0, LiveBlocks = 0;
HGLOBAL WINAPI CountedAlloc(UINT flags, SIZE_T size) {
    if (++Allocations == FailAllocation)
        return nullptr;
    ++LiveBlocks;
    return GlobalAlloc(flags, size);
}
HGLOBAL WINAPI CountedFree(HGLOBAL block) {
    --LiveBlocks;
    return GlobalFree(block);
}

// The licence text named by AgreementText: every allocation on the way fails in turn.
TEST(CopyNamedEntry, EveryAllocationFailingStopsWithItsMessages) {
    SavedOps saved;
    ScratchFolder folder;
    const std::string ini = folder.File("UPDATE.INI");
    WriteBytes(ini, std::vector<uint8_t>({'[', 'S', 'E', 'T', 'U', 'P', ']', '\r', '\n'}));
    const std::string line = "AgreementText=LICENSE.TXT\r\n";
    std::vector<uint8_t> bytes = ReadBytes(ini);
    bytes.insert(bytes.end(), line.begin(), line.end());
    WriteBytes(ini, bytes);
    lstrcpyA(UpdateIniPath, ini.c_str());
    const std::string licence(5000, 'L');
    std::vector<ArchiveInput> entries = {
        ArchiveInput{"LICENSE.TXT", (const uint8_t*)licence.data(), licence.size(), 0, true, true}};
    std::vector<uint8_t> image;
    std::string error;
    ASSERT_EQ(1, BuildArchive(entries, kIndexCompressed | kIndexScrambled, &image, &error));
    ASSERT_EQ(1, LoadPayload(image));
    const int required = RequiredKeys;
    RequiredKeys = 0;
    lstrcpyA(UpdaterCaption, "UPDATE");
    DirectOps.GlobalAlloc = CountedAlloc;
    DirectOps.GlobalFree = CountedFree;

    Allocations = FailAllocation = LiveBlocks = 0;
    char* text = nullptr;
    ASSERT_EQ(1, CopyNamedEntry("AgreementText", &text));
    ASSERT_NE(nullptr, text);
    EXPECT_EQ(licence, std::string(text));
    EXPECT_EQ(1, LiveBlocks) << "only the copy is kept";
    FreeFixed(text);
    const int allocations = Allocations;
    ASSERT_GE(allocations, 2) << "the entry is decoded into memory of its own, then copied";

    for (int k = 1; k <= allocations; ++k) {
        Allocations = LiveBlocks = 0;
        FailAllocation = k;
        ShownMessages.clear();
        text = nullptr;
        EXPECT_EQ(0, CopyNamedEntry("AgreementText", &text)) << "allocation " << k;
        EXPECT_EQ(nullptr, text);
        EXPECT_EQ(0, LiveBlocks) << "allocation " << k << ": memory left behind";
        std::vector<std::string> expected = {"UPDATE|Can't Allocate Memory !!"};
        // Decoding the entry failed: the lookup found nothing to copy.
        if (k < allocations)
            expected.push_back("UPDATE|'LICENSE.TXT' not found at UPDATE.QV3");
        EXPECT_EQ(expected, ShownMessages) << "allocation " << k;
    }
    printf("agreement text: each of %d allocations failed in turn\n", allocations);
    RequiredKeys = required;
    UpdateIniPath[0] = 0;
    CloseArchive();
}

} // namespace
