#include "update/journal_format.h"

#include <gtest/gtest.h>

#include <string.h>

#include <vector>

#include "archive/archive_format.h"
#include "archive/sha256.h"

namespace {

JournalAction Action(uint32_t kind, const char* target, const char* staged, const char* backup) {
    JournalAction a;
    memset(&a, 0xCC, sizeof a); // whatever the writer leaves out must not matter
    a.kind = kind;
    a.existed = kind == kReplaceFile;
    a.oldAttributes = 0x21;
    a.oldSize = 0x123456789ull;
    a.oldWriteTime = 0x01D6000000000005ull;
    a.newSize = 77;
    for (size_t i = 0; i < sizeof a.newDigest; ++i)
        a.newDigest[i] = (uint8_t)(kind * 31 + i);
    strcpy(a.target, target);
    strcpy(a.staged, staged);
    strcpy(a.backup, backup);
    return a;
}

std::vector<JournalAction> Sample() {
    return {Action(kCreateFolder, "C:\\game\\patch", "", ""),
            Action(kReplaceFile, "C:\\game\\patch\\\x95\x5C\\a.dat",
                   "C:\\game\\patch\\\x95\x5C\\~qv00000001.new",
                   "C:\\game\\patch\\\x95\x5C\\~qv00000002.old"),
            Action(kStagingFolder, "C:\\game\\~qv00000003.dir", "", ""),
            Action(kFolderAttributes, "C:\\game", "", ""),
            Action(kDeleteFile, "C:\\game\\old.dat", "", "C:\\game\\~qv00000004.old"),
            Action(kRemoveFolder, "C:\\game\\gone", "", "")};
}

JournalFolders Folders() {
    JournalFolders f;
    memset(&f, 0xCC, sizeof f);
    f.state = kJournalCommitted;
    strcpy(f.install, "C:\\game");
    strcpy(f.data, "C:\\data");
    return f;
}

std::vector<uint8_t> Written(const std::vector<JournalAction>& actions) {
    const JournalFolders f = Folders();
    std::vector<uint8_t> bytes(JournalSize(f, actions.data(), (uint32_t)actions.size()));
    WriteJournal(f, actions.data(), (uint32_t)actions.size(), bytes.data());
    return bytes;
}

// Puts a correct digest on bytes whose structure is wrong, so that only the structure is judged.
void Reseal(std::vector<uint8_t>* bytes) {
    Sha256(bytes->data(), bytes->size() - 32, bytes->data() + bytes->size() - 32);
}

TEST(JournalFormat, RoundTrip) {
    const std::vector<JournalAction> in = Sample();
    const std::vector<uint8_t> bytes = Written(in);
    uint32_t count = 0;
    ASSERT_EQ(kJournalRead, CountJournalActions(bytes.data(), bytes.size(), &count));
    ASSERT_EQ(in.size(), count);
    std::vector<JournalAction> out(count);
    JournalFolders folders;
    ASSERT_EQ(kJournalRead,
              ReadJournal(bytes.data(), bytes.size(), &folders, out.data(), count, &count));
    EXPECT_EQ((uint32_t)kJournalCommitted, folders.state);
    EXPECT_STREQ("C:\\game", folders.install);
    EXPECT_STREQ("C:\\data", folders.data);
    for (size_t i = 0; i < in.size(); ++i) {
        EXPECT_EQ(in[i].kind, out[i].kind) << i;
        EXPECT_EQ(in[i].existed, out[i].existed) << i;
        EXPECT_EQ(in[i].oldAttributes, out[i].oldAttributes) << i;
        EXPECT_EQ(in[i].oldSize, out[i].oldSize) << i;
        EXPECT_EQ(in[i].oldWriteTime, out[i].oldWriteTime) << i;
        EXPECT_EQ(in[i].newSize, out[i].newSize) << i;
        EXPECT_EQ(0, memcmp(in[i].newDigest, out[i].newDigest, 32)) << i;
        EXPECT_STREQ(in[i].target, out[i].target) << i;
        EXPECT_STREQ(in[i].staged, out[i].staged) << i;
        EXPECT_STREQ(in[i].backup, out[i].backup) << i;
    }
    EXPECT_EQ(kJournalTooLarge,
              ReadJournal(bytes.data(), bytes.size(), &folders, out.data(), count - 1, &count));
}

TEST(JournalFormat, EveryCutAndEveryFlippedBitIsRefused) {
    const std::vector<uint8_t> bytes = Written(Sample());
    uint32_t count;
    int refused = 0;
    for (size_t cut = 0; cut < bytes.size(); ++cut) {
        std::vector<uint8_t> part(bytes.begin(), bytes.begin() + cut);
        EXPECT_EQ(kJournalDamaged, CountJournalActions(part.data(), part.size(), &count)) << cut;
        ++refused;
    }
    for (size_t bit = 0; bit < bytes.size() * 8; ++bit) {
        std::vector<uint8_t> flipped = bytes;
        flipped[bit / 8] ^= (uint8_t)(1u << (bit % 8));
        EXPECT_EQ(kJournalDamaged, CountJournalActions(flipped.data(), flipped.size(), &count))
            << bit;
        ++refused;
    }
    printf("%d damaged journals refused\n", refused);
}

TEST(JournalFormat, WellSealedNonsenseIsRefused) {
    const std::vector<uint8_t> good = Written(Sample());
    const size_t firstAction = 16 + 2 * (2 + 7); // header and the two folders
    const size_t targetLength = firstAction + 36 + 32;
    struct Case {
        const char* what;
        size_t offset;
        uint8_t value;
    };
    const Case cases[] = {
        {"kind 0", firstAction, 0},
        {"kind 7", firstAction, 7},
        {"existed 2", firstAction + 4, 2},
        {"count one more", 12, 7},
        {"count one less", 12, 5},
        {"version 1", 4, 1},
        {"state 0", 8, 0},
        {"state 3", 8, 3},
        {"empty install folder", 16, 0},
        {"empty target", targetLength, 0},
        {"target length 260", targetLength + 1, 1},
    };
    uint32_t count;
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes = good;
        bytes[c.offset] = c.value;
        if (c.offset == targetLength + 1)
            bytes[targetLength] = 4; // 0x104
        Reseal(&bytes);
        EXPECT_EQ(kJournalDamaged, CountJournalActions(bytes.data(), bytes.size(), &count))
            << c.what;
    }
    // A NUL inside a path would cut it short of what was recorded.
    std::vector<uint8_t> nul = good;
    nul[targetLength + 2 + 3] = 0;
    Reseal(&nul);
    EXPECT_EQ(kJournalDamaged, CountJournalActions(nul.data(), nul.size(), &count));
    // Bytes after the last action.
    std::vector<uint8_t> longer = good;
    longer.insert(longer.end() - 32, 0);
    Reseal(&longer);
    EXPECT_EQ(kJournalDamaged, CountJournalActions(longer.data(), longer.size(), &count));
    // A count beyond the bound is refused before anything is walked.
    std::vector<uint8_t> huge = good;
    StoreLE32(huge.data() + 12, kMaxJournalActions + 1);
    Reseal(&huge);
    EXPECT_EQ(kJournalDamaged, CountJournalActions(huge.data(), huge.size(), &count));
}

} // namespace
