// The update run with files the payload carries as deltas: each installed file is matched with
// a recorded base, the new file is rebuilt from it and written through the staged run, and an
// installation of another version is refused before anything is written.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/archive_format.h"
#include "archive/archive_index.h"
#include "archive/file_sample.h"
#include "core/io_count.h"
#include "core/profile.h"
#include "core/run_state.h"
#include "settings/install_settings.h"
#include "update/update_run.h"
#include "win/delta_payload.h"
#include "win/tree_snapshot.h"
#include "win/win_test_support.h"

namespace {

const uint64_t kArchiveTime = 0x01D6000000000000ull; // in 2020

std::string Noise(uint32_t seed, size_t size) {
    std::mt19937 rng(seed);
    std::string s(size, '\0');
    for (char& c : s)
        c = (char)(rng() % 251);
    return s;
}

// A release of a file: the same bytes with a few of them changed and some inserted.
std::string Edited(std::string s, uint32_t seed) {
    std::mt19937 rng(seed);
    for (int i = 0; i < 20; ++i)
        s[rng() % s.size()] ^= 0x5A;
    s.insert(s.size() / 3, "inserted by a release");
    return s;
}

// A recorded box without its caption.
std::string TextOf(const std::string& box) {
    return box.substr(box.find('|') + 1);
}

class DeltaRunTest : public UpdateRunFixture {
  protected:
    void SetUp() override {
        UpdateRunFixture::SetUp();
        CreateDirectoryA((install + "\\sys").c_str(), nullptr);
        newA = Noise(1, 300000);
        a10 = Edited(newA, 2);
        a11 = Edited(newA, 3);
        newB = "the new b, with more text than before";
        b10 = "the old b";
    }

    // a.dat as deltas from releases 1.0 and 1.1, b.dat from 1.0; whole copies as given.
    void Load(const std::vector<WholeFile>& wholes, std::vector<uint8_t>* keep = nullptr) {
        std::vector<uint8_t> image;
        ASSERT_EQ(1, BuildDeltaPayload(
                         wholes, {{"a.dat", a10, newA}, {"a.dat", a11, newA}, {"b.dat", b10, newB}},
                         kArchiveTime, &image));
        if (keep)
            *keep = image;
        ASSERT_EQ(1, LoadPayload(image));
        ASSERT_EQ(1, CheckPayloadIntegrity());
    }
    void ExpectCompleted(const DialogOutcome& o) {
        EXPECT_EQ(99, o.result);
        EXPECT_EQ("アップデートは完了しました", o.info);
        EXPECT_TRUE(ShownMessages.empty()) << ShownMessages[0];
    }
    // The run stopped with that message (then the failed write's, for a damaged entry) and
    // left the installation as it was.
    void ExpectRefused(const DialogOutcome& o, const TreeSnapshot& before,
                       const std::string& message, bool writeFailed = false) {
        EXPECT_EQ(-1, o.result);
        ASSERT_EQ(writeFailed ? 2u : 1u, ShownMessages.size()) << ShownMessages.back();
        EXPECT_EQ(message, TextOf(ShownMessages[0]));
        if (writeFailed) {
            EXPECT_EQ("ファイルの書き込みに失敗しました", TextOf(ShownMessages[1]));
        }
        const std::vector<std::string> differences =
            CompareSnapshots(before, TakeSnapshot(install));
        EXPECT_TRUE(differences.empty()) << differences[0];
        EXPECT_TRUE(RunLeftovers(install).empty());
    }
    std::string Mismatch(const std::string& file) const {
        return "アップデートエラー：「" + install + "\\" + file +
               "」がアップデート対象のバージョンと違います";
    }

    std::string newA, a10, a11, newB, b10;
};

TEST_F(DeltaRunTest, EitherRecordedReleaseIsBroughtToTheNewFile) {
    Load({});
    for (const std::string* old : {&a10, &a11}) {
        WriteText(install + "\\a.dat", *old, kArchiveTime - 50);
        WriteText(install + "\\sys\\b.dat", b10, kArchiveTime - 50);
        DialogOutcome o = Run("UpdateFile00=a.dat\r\nUpdateFile01=u,sys\\b.dat\r\n");
        ExpectCompleted(o);
        EXPECT_TRUE(ReadText(install + "\\a.dat") == newA) << "release " << (old == &a10 ? 0 : 1);
        EXPECT_EQ(newB, ReadText(install + "\\sys\\b.dat"));
        EXPECT_EQ(kArchiveTime, TimesOf(install + "\\a.dat").write) << "the new file's time";
        EXPECT_TRUE(RunLeftovers(install).empty());
    }
}

TEST_F(DeltaRunTest, AFileOfAnotherVersionStopsTheRunBeforeAnyWrite) {
    Load({{"c.dat", "new c"}});
    // Another version of the same size as a recorded base, one of another size, and none.
    std::string sameSize = a10;
    sameSize[1000] ^= 1;
    const std::vector<std::string> installs = {sameSize, "something else entirely"};
    for (const std::string& other : installs) {
        WriteText(install + "\\c.dat", "old c");
        WriteText(install + "\\a.dat", other, kArchiveTime - 50);
        const TreeSnapshot before = TakeSnapshot(install);
        ShownMessages.clear();
        DialogOutcome o = Run("UpdateFile00=c.dat\r\nUpdateFile01=a.dat\r\n");
        ExpectRefused(o, before, Mismatch("a.dat"));
    }
    DeleteFileA((install + "\\a.dat").c_str());
    const TreeSnapshot before = TakeSnapshot(install);
    ShownMessages.clear();
    DialogOutcome o = Run("UpdateFile00=c.dat\r\nUpdateFile01=a.dat\r\n");
    ExpectRefused(o, before, Mismatch("a.dat"));
}

// A large file is known by its sample and proven by its result. The recorded base is rebuilt
// without being read whole twice; one that differs only between the sampled blocks passes the
// sample, then gets the whole copy when the payload carries one, and is refused, untouched,
// when it does not; so it is when the payload records no samples and the base is hashed whole.
TEST_F(DeltaRunTest, ALargeBaseIsKnownByItsSampleAndProvenByItsResult) {
    const std::string base = Noise(7, 5 << 20), result = Edited(base, 8);
    std::string unsampled = base;
    unsampled[kSampleBlockSize + 100] ^= 1; // between the first two blocks
    struct Row {
        const std::string* installed;
        bool whole, samples;
    } rows[] = {{&base, false, true},
                {&unsampled, true, true},
                {&unsampled, false, true},
                {&unsampled, false, false},
                {&base, false, false}};
    for (const Row& r : rows) {
        std::vector<uint8_t> image;
        std::vector<WholeFile> wholes = {{"c.dat", "new c"}};
        if (r.whole)
            wholes.push_back({"big.dat", result});
        ASSERT_EQ(1, BuildDeltaPayload(wholes, {{"big.dat", base, result}}, kArchiveTime, &image, 0,
                                       nullptr, r.samples));
        ASSERT_EQ(1, LoadPayload(image));
        ASSERT_EQ(1, CheckPayloadIntegrity());
        WriteText(install + "\\c.dat", "old c");
        WriteText(install + "\\big.dat", *r.installed, kArchiveTime - 50);
        const TreeSnapshot before = TakeSnapshot(install);
        ShownMessages.clear();
        const IoCountData start = IoCountNow();
        DialogOutcome o = Run("UpdateFile00=c.dat\r\nUpdateFile01=big.dat\r\n");
        const std::string row = std::string(r.installed == &base ? "the base" : "another") +
                                (r.whole ? ", whole copy" : "") +
                                (r.samples ? ", samples" : ", no samples");
        if (r.installed == &base || r.whole) {
            ExpectCompleted(o);
            EXPECT_TRUE(ReadText(install + "\\big.dat") == result) << row;
        } else {
            ExpectRefused(o, before, Mismatch("big.dat"));
        }
        if (r.installed == &base && r.samples) {
            EXPECT_LT(IoCountNow().read - start.read, base.size() * 3 / 2)
                << row << ": read for its sample and where the delta copies, never whole twice";
        }
    }
}

TEST_F(DeltaRunTest, AWholeCopyServesInstallationsThatMatchNoBase) {
    Load({{"a.dat", newA}});
    WriteText(install + "\\a.dat", "a hand-edited file");
    DialogOutcome o = Run("UpdateFile00=a.dat\r\nUpdateFile01=sys\\a.dat\r\n");
    ExpectCompleted(o);
    EXPECT_TRUE(ReadText(install + "\\a.dat") == newA);
    EXPECT_TRUE(ReadText(install + "\\sys\\a.dat") == newA) << "a missing file is written whole";
}

TEST_F(DeltaRunTest, WriteRulesKeepTheirMeaning) {
    Load({{"a.dat", newA}});
    // Update: a file newer than the new file stays, whatever its bytes.
    WriteText(install + "\\sys\\b.dat", "edited after the release", kArchiveTime + 10);
    // Overwrite: nothing there, nothing written, no base needed.
    // Data: the player's own bytes stay, though the payload has deltas for the name.
    WriteText(data + "\\a.dat", "player's a");
    // Already the new file (a second run of the same patch): kept, stamped with its time.
    WriteText(install + "\\a.dat", newA, kArchiveTime + 99);
    DialogOutcome o = Run("UpdateFile00=u,sys\\b.dat\r\nUpdateFile01=o,b.dat\r\n"
                          "UpdateFile02=d,a.dat\r\nUpdateFile03=a.dat\r\n");
    ExpectCompleted(o);
    EXPECT_EQ("edited after the release", ReadText(install + "\\sys\\b.dat"));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((install + "\\b.dat").c_str()));
    EXPECT_EQ("player's a", ReadText(data + "\\a.dat"));
    EXPECT_TRUE(ReadText(install + "\\a.dat") == newA);
    EXPECT_EQ(kArchiveTime, TimesOf(install + "\\a.dat").write);
    // A Data file that is missing is written from the whole copy, never from a delta.
    DeleteFileA((data + "\\a.dat").c_str());
    ShownMessages.clear();
    o = Run("UpdateFile00=d,a.dat\r\n");
    ExpectCompleted(o);
    EXPECT_TRUE(ReadText(data + "\\a.dat") == newA);
}

TEST_F(DeltaRunTest, ADamagedDeltaIsRefusedBeforeAnyWrite) {
    std::vector<uint8_t> image;
    Load({}, &image);
    // A changed byte in the stored bytes of a.dat's first delta (the first entry).
    uint32_t offset;
    const uint8_t* rec = EntryAtPosition(CurrentArchiveIndex, 0, &offset);
    ASSERT_TRUE(rec && IsDeltaEntryName(EntryName(rec)));
    image[offset + EntryStoredSize(rec) / 2] ^= 0x10;
    ASSERT_EQ(1, LoadPayload(image));
    ASSERT_EQ(1, CheckPayloadIntegrity()) << "the index is whole";
    WriteText(install + "\\a.dat", a10);
    WriteText(install + "\\sys\\b.dat", b10);
    const TreeSnapshot before = TakeSnapshot(install);
    DialogOutcome o = Run("UpdateFile00=sys\\b.dat\r\nUpdateFile01=a.dat\r\n");
    ExpectRefused(o, before, "アップデートデータが壊れています（a.dat）", true);
}

TEST_F(DeltaRunTest, AResultThatDiffersFromItsRecordIsUndone) {
    // The publisher's record says the delta makes other bytes than it does: the stored bytes
    // are whole, so this shows only once the delta is applied, after staging began.
    std::vector<uint8_t> image;
    ASSERT_EQ(
        1, BuildDeltaPayload({{"c.dat", "new c"}}, {{"a.dat", a10, newA}}, kArchiveTime, &image));
    ASSERT_EQ(1, LoadPayload(image));
    ASSERT_EQ(1, CheckPayloadIntegrity());
    const_cast<uint8_t*>(PayloadIntegrity.record.deltas)[kDeltaResultDigestOffset] ^= 1;
    WriteText(install + "\\c.dat", "old c");
    WriteText(install + "\\a.dat", a10);
    const TreeSnapshot before = TakeSnapshot(install);
    DialogOutcome o = Run("UpdateFile00=c.dat\r\nUpdateFile01=a.dat\r\n");
    EXPECT_EQ(-1, o.result);
    ASSERT_FALSE(ShownMessages.empty());
    EXPECT_EQ("アップデートデータが壊れています（a.dat）", TextOf(ShownMessages[0]));
    const std::vector<std::string> differences = CompareSnapshots(before, TakeSnapshot(install));
    EXPECT_TRUE(differences.empty()) << differences[0];
    EXPECT_TRUE(RunLeftovers(install).empty());
}

// Reading the installed files: every read and open fails in turn.
int Reads = 0, FailRead = 0;
SavedOps* Real = nullptr;
BOOL WINAPI CountedRead(HANDLE h, LPVOID to, DWORD size, LPDWORD got, LPOVERLAPPED o) {
    if (++Reads == FailRead) {
        *got = 0;
        SetLastError(ERROR_READ_FAULT);
        return FALSE;
    }
    return Real->platform.ReadFile(h, to, size, got, o);
}
HANDLE WINAPI CountedOpen(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                          DWORD disposition, DWORD flags, HANDLE tmpl) {
    if (++Reads == FailRead) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    return Real->platform.CreateFileA(path, access, share, sa, disposition, flags, tmpl);
}

// With a base known by its sample (past the size where the sample is the whole file) among them.
TEST_F(DeltaRunTest, EveryFailedReadLeavesTheGameAsItWas) {
    const std::string big = Noise(9, 5 << 20), bigNew = Edited(big, 10);
    std::vector<uint8_t> image;
    ASSERT_EQ(1, BuildDeltaPayload(
                     {}, {{"a.dat", a11, newA}, {"b.dat", b10, newB}, {"big.dat", big, bigNew}},
                     kArchiveTime, &image));
    ASSERT_EQ(1, LoadPayload(image));
    ASSERT_EQ(1, CheckPayloadIntegrity());
    Real = &saved;
    const std::string section =
        "UpdateFile00=a.dat\r\nUpdateFile01=u,sys\\b.dat\r\nUpdateFile02=big.dat\r\n";
    const auto lay = [&] {
        WriteText(install + "\\a.dat", a11, kArchiveTime - 50);
        WriteText(install + "\\sys\\b.dat", b10, kArchiveTime - 50);
        WriteText(install + "\\big.dat", big, kArchiveTime - 50);
    };
    lay();
    const TreeSnapshot before = TakeSnapshot(install);
    PlatformOps.ReadFile = CountedRead;
    PlatformOps.CreateFileA = CountedOpen;
    Reads = 0;
    FailRead = 0;
    DialogOutcome o = Run(section);
    ExpectCompleted(o);
    const TreeSnapshot after = TakeSnapshot(install);
    const int total = Reads;
    ASSERT_GT(total, 4);
    int mixed = 0;
    for (int k = 1; k <= total; ++k) {
        lay();
        ShownMessages.clear();
        Reads = 0;
        FailRead = k;
        DialogOutcome r = Run(section);
        const TreeSnapshot now = TakeSnapshot(install);
        const std::vector<std::string> differences =
            CompareSnapshots(r.result == 99 ? after : before, now);
        mixed += !differences.empty();
        EXPECT_TRUE(differences.empty()) << "failed call " << k << ": " << differences[0];
        EXPECT_TRUE(RunLeftovers(install).empty()) << "failed call " << k;
        if (r.result != 99) {
            EXPECT_FALSE(ShownMessages.empty()) << "failed call " << k << ": the user is told";
        }
    }
    printf("%d failed reads and opens, %d mixed\n", total, mixed);
}

} // namespace
