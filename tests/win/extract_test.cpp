#include <gtest/gtest.h>

#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/archive_format.h"
#include "payload/archive_writer.h"
#include "win/win_test_support.h"

namespace {

const uint64_t kEntryTime = 0x01D5A1B2C3D4E5F6ull; // a time in 2019

std::vector<uint8_t> Content(size_t size, unsigned seed) {
    // Compressible but not trivial: words from a small vocabulary with some noise.
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(size);
    for (size_t i = 0; i < size; ++i)
        v[i] = (rng() % 4 == 0) ? (uint8_t)rng() : (uint8_t)("game data "[i % 10]);
    return v;
}

std::vector<uint8_t> Archive(const std::vector<ArchiveInput>& entries, uint32_t flags = 3) {
    std::vector<uint8_t> image;
    std::string error;
    EXPECT_EQ(1, BuildArchive(entries, flags, &image, &error)) << error;
    return image;
}

ArchiveInput Input(const std::string& name, const std::vector<uint8_t>& bytes, bool compress = true,
                   bool scramble = true, uint64_t time = kEntryTime) {
    return ArchiveInput{name, bytes.data(), bytes.size(), time, compress, scramble};
}

class ExtractTest : public GatedFolderTest {};

TEST_F(ExtractTest, RoundTripsEveryIndexFormStoreMethodAndSize) {
    const size_t sizes[] = {0, 1, 3, 4, 5, 16, 17, 4095, 8192, 8193, 3 * 1024 * 1024 + 7};
    std::vector<std::vector<uint8_t>> contents;
    for (size_t size : sizes)
        contents.push_back(Content(size, (unsigned)size));
    for (uint32_t flags = 0; flags < 4; ++flags) {
        std::vector<ArchiveInput> entries;
        std::vector<std::string> names;
        for (int method = 0; method < 4; ++method) {
            for (size_t i = 0; i < contents.size(); ++i) {
                names.push_back("F" + std::to_string(method) + "_" + std::to_string(sizes[i]) +
                                ".DAT");
                entries.push_back(Input(names.back(), contents[i], method & 1, (method & 2) != 0,
                                        kEntryTime + i));
            }
        }
        std::vector<uint8_t> image = Archive(entries, flags);
        ASSERT_EQ(1, LoadPayload(image)) << "flags " << flags;
        for (size_t e = 0; e < entries.size(); ++e) {
            const std::string target = folder.File(names[e]);
            ASSERT_EQ(1, ExtractEntry(names[e].c_str(), target.c_str(), 0))
                << "flags " << flags << " " << names[e];
            // Times first: reading the content moves the access time.
            FileTimes t = TimesOf(target);
            const std::vector<uint8_t>& expected = contents[e % contents.size()];
            EXPECT_TRUE(ReadBytes(target) == expected) << "flags " << flags << " " << names[e];
            const uint64_t want = kEntryTime + e % contents.size();
            EXPECT_EQ(want, t.write) << names[e];
            EXPECT_EQ(want, t.creation) << names[e];
            EXPECT_EQ(want, t.access) << names[e];
            DeleteFileA(target.c_str());
        }
        EXPECT_TRUE(ShownMessages.empty());
    }
}

TEST_F(ExtractTest, KeepNewerComparesTheLastWriteTime) {
    std::vector<uint8_t> fresh = {'n', 'e', 'w'};
    ASSERT_EQ(1, LoadPayload(Archive({Input("A.DAT", fresh)})));
    const std::string target = folder.File("A.DAT");
    struct Case {
        const char* what;
        int64_t offset; // the target's time relative to the entry's
        int keepNewer;
        bool rewritten;
    };
    const Case cases[] = {
        {"one tick later is kept", 1, 1, false},
        {"equal is rewritten", 0, 1, true},
        {"earlier is rewritten", -1, 1, true},
        {"without keepNewer a later file is rewritten", 1000, 0, true},
    };
    for (const Case& c : cases) {
        WriteBytes(target, {'o', 'l', 'd'});
        SetWriteTime(target, kEntryTime + c.offset);
        EXPECT_EQ(1, ExtractEntry("a.dat", target.c_str(), c.keepNewer)) << c.what;
        EXPECT_EQ(c.rewritten ? fresh : std::vector<uint8_t>({'o', 'l', 'd'}), ReadBytes(target))
            << c.what;
    }
    DeleteFileA(target.c_str());
    EXPECT_EQ(1, ExtractEntry("A.DAT", target.c_str(), 1)) << "a missing target is written";
    EXPECT_EQ(fresh, ReadBytes(target));
    EXPECT_TRUE(ShownMessages.empty());
}

TEST_F(ExtractTest, ReadOnlyTargetIsMadeNormalAndRewrittenWithAllTimes) {
    std::vector<uint8_t> fresh = Content(1000, 1);
    ASSERT_EQ(1, LoadPayload(Archive({Input("RO.DAT", fresh)})));
    const std::string target = folder.File("RO.DAT");
    WriteBytes(target, {'o', 'l', 'd'});
    SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    ASSERT_EQ(1, ExtractEntry("RO.DAT", target.c_str(), 0));
    FileTimes t = TimesOf(target);
    EXPECT_EQ(kEntryTime, t.creation);
    EXPECT_EQ(kEntryTime, t.access);
    EXPECT_EQ(kEntryTime, t.write);
    EXPECT_EQ(fresh, ReadBytes(target));
    const DWORD attributes = GetFileAttributesA(target.c_str());
    EXPECT_EQ(0u, attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
}

TEST_F(ExtractTest, FolderTargetIsRefusedSilently) {
    ASSERT_EQ(1, LoadPayload(Archive({Input("DIR", {1, 2, 3})})));
    const std::string target = folder.File("DIR");
    CreateDirectoryA(target.c_str(), nullptr);
    EXPECT_EQ(0, ExtractEntry("DIR", target.c_str(), 0));
    EXPECT_TRUE(ShownMessages.empty());
    EXPECT_EQ(std::vector<std::string>({"DIR"}), folder.Names());
}

TEST_F(ExtractTest, FreeSpaceIsCheckedFirstAndInSixtyFourBits) {
    std::vector<uint8_t> bytes = Content(5000, 2);
    ASSERT_EQ(1, LoadPayload(Archive({Input("S.DAT", bytes)})));
    DirectOps.GetDiskFreeSpaceExA = FakeFreeSpace;
    const std::string target = folder.File("S.DAT");

    FakeFreeBytes = bytes.size();
    EXPECT_EQ(1, ExtractEntry("S.DAT", target.c_str(), 0)) << "exactly enough";
    EXPECT_TRUE(ShownMessages.empty());

    // A newer target on a drive without room still fails: the check comes first.
    SetWriteTime(target, kEntryTime + 1);
    FakeFreeBytes = bytes.size() - 1;
    EXPECT_EQ(0, ExtractEntry("S.DAT", target.c_str(), 1));
    std::string drive = target.substr(0, 2);
    ASSERT_EQ(1u, ShownMessages.size());
    EXPECT_EQ("UPDATE|ディスク容量が足りません。" + drive +
                  " ドライブに 1 バイトの空き容量が必要です",
              ShownMessages[0]);

    // Far more free space than 4 GiB compares as a 64-bit number.
    FakeFreeBytes = 0x100000000ull + 10;
    EXPECT_EQ(1, ExtractEntry("S.DAT", target.c_str(), 0));
}

TEST_F(ExtractTest, ShortfallAboveTwoGibibytesIsPrintedUnsigned) {
    // The check comes before any decoding, so the stored bytes need not decode: a compressed
    // entry claiming 3 000 000 000 bytes is enough to reach it.
    std::vector<uint8_t> stored(34 * 1024 * 1024, 0);
    std::vector<uint8_t> image = Archive({Input("HUGE.DAT", stored, false, false)}, 0);
    const uint32_t indexOffset = LoadLE32(image.data() + kHeaderIndexOffsetOffset);
    uint8_t* rec = image.data() + indexOffset;
    rec[kEntryStoreMethodOffset] = kStoreCompressed;
    StoreLE32(rec + kEntryDecodedSizeOffset, 3000000000u);
    ASSERT_EQ(1, LoadPayload(image));
    DirectOps.GetDiskFreeSpaceExA = FakeFreeSpace;
    FakeFreeBytes = 1000;
    EXPECT_EQ(0, ExtractEntry("HUGE.DAT", folder.File("HUGE.DAT").c_str(), 0));
    ASSERT_EQ(1u, ShownMessages.size());
    EXPECT_NE(std::string::npos, ShownMessages[0].find(" ドライブに 2999999000 バイトの"))
        << ShownMessages[0];
}

TEST_F(ExtractTest, FailedFreeSpaceQueryLetsTheWriteGoAhead) {
    ASSERT_EQ(1, LoadPayload(Archive({Input("Q.DAT", {9, 9})})));
    DirectOps.GetDiskFreeSpaceExA = [](LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER,
                                       PULARGE_INTEGER) -> BOOL { return FALSE; };
    EXPECT_EQ(1, ExtractEntry("Q.DAT", folder.File("Q.DAT").c_str(), 0));
    EXPECT_EQ(std::vector<uint8_t>({9, 9}), ReadBytes(folder.File("Q.DAT")));
}

TEST_F(ExtractTest, ScrambledEntryExtractsTheSameTwiceAndThePayloadStaysAsItWas) {
    std::vector<uint8_t> bytes = Content(777, 3);
    for (bool compress : {false, true}) {
        std::vector<uint8_t> image = Archive({Input("X.DAT", bytes, compress, true)});
        ASSERT_EQ(1, LoadPayload(image));
        const std::vector<uint8_t> before(PayloadData, PayloadData + PayloadSize);
        for (int pass = 0; pass < 2; ++pass) {
            const std::string target = folder.File("X" + std::to_string(pass));
            ASSERT_EQ(1, ExtractEntry("X.DAT", target.c_str(), 0));
            EXPECT_EQ(bytes, ReadBytes(target)) << "pass " << pass;
        }
        EXPECT_TRUE(before == std::vector<uint8_t>(PayloadData, PayloadData + PayloadSize));
    }
}

TEST_F(ExtractTest, MissingEntryIsReported) {
    ASSERT_EQ(1, LoadPayload(Archive({})));
    EXPECT_EQ(0, ExtractEntry("UPDATE.INI", folder.File("UPDATE.INI").c_str(), 0));
    EXPECT_EQ(nullptr, FindEntryData("UPDATE.INI", nullptr));
    EXPECT_EQ(std::vector<std::string>(2, "UPDATE|Can't Find File in Resource !!"), ShownMessages);
    EXPECT_TRUE(folder.Names().empty());
}

TEST_F(ExtractTest, FindEntryDataGivesTheDecodedBytes) {
    std::vector<uint8_t> raw = {'r', 'a', 'w'}, packed = Content(3000, 4), hidden = Content(50, 5);
    ASSERT_EQ(1, LoadPayload(
                     Archive({Input("RAW", raw, false, false), Input("PACKED", packed, true, false),
                              Input("HIDDEN", hidden, true, true)})));
    uint32_t size = 0;
    const uint8_t* p = (const uint8_t*)FindEntryData("raw", &size);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(PayloadData + kArchiveHeaderSize, p) << "stored as is: read in place";
    EXPECT_EQ(3u, size);
    p = (const uint8_t*)FindEntryData("PACKED", &size);
    ASSERT_NE(nullptr, p);
    EXPECT_TRUE(packed == std::vector<uint8_t>(p, p + size));
    FreeFixed((void*)p);
    p = (const uint8_t*)FindEntryData("HIDDEN", &size);
    ASSERT_NE(nullptr, p);
    EXPECT_TRUE(hidden == std::vector<uint8_t>(p, p + size)) << "scrambled entries come back plain";
    FreeFixed((void*)p);
    EXPECT_TRUE(ShownMessages.empty());
}

HGLOBAL WINAPI FailingGlobalAlloc(UINT, SIZE_T) {
    return nullptr;
}

TEST_F(ExtractTest, LackOfMemoryIsReported) {
    std::vector<uint8_t> bytes = Content(100, 6);
    ASSERT_EQ(1, LoadPayload(Archive({Input("M.DAT", bytes)})));
    DirectOps.GlobalAlloc = FailingGlobalAlloc;
    EXPECT_EQ(0, ExtractEntry("M.DAT", folder.File("M.DAT").c_str(), 0));
    EXPECT_EQ(nullptr, FindEntryData("M.DAT", nullptr));
    EXPECT_EQ(std::vector<std::string>(2, "UPDATE|Can't Allocate Memory !!"), ShownMessages);
    EXPECT_TRUE(folder.Names().empty());
}

TEST_F(ExtractTest, DamagedEntryIsRefusedAndTheTargetKept) {
    std::vector<uint8_t> image = Archive({Input("D.DAT", Content(4000, 7), true, false)}, 0);
    // Cut the entry's compressed stream in half: it can no longer reach its end marker.
    uint8_t* rec = image.data() + LoadLE32(image.data() + kHeaderIndexOffsetOffset);
    StoreLE32(rec + kEntryStoredSizeOffset, EntryStoredSize(rec) / 2);
    ASSERT_EQ(1, LoadPayload(image));
    const std::string target = folder.File("D.DAT");
    WriteBytes(target, {'o', 'l', 'd'});
    EXPECT_EQ(0, ExtractEntry("D.DAT", target.c_str(), 0));
    EXPECT_EQ(std::vector<std::string>({"UPDATE|RESOURCE READ ERROR"}), ShownMessages);
    EXPECT_EQ(std::vector<uint8_t>({'o', 'l', 'd'}), ReadBytes(target));
}

// Faults injected into the write, one operation at a time.
BOOL WINAPI HalfWrite(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED o) {
    return WriteFile(file, data, size / 2, written, o);
}
BOOL WINAPI FailingRename(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size) {
    if (kind != FileRenameInfo)
        return SetFileInformationByHandle(file, kind, info, size);
    SetLastError(ERROR_SHARING_VIOLATION);
    return FALSE;
}
BOOL WINAPI FailingSetTime(HANDLE, const FILETIME*, const FILETIME*, const FILETIME*) {
    return FALSE;
}

TEST_F(ExtractTest, FailedWriteLeavesTheOldFileWholeAndNoTemporaryFile) {
    std::vector<uint8_t> bytes = Content(10000, 8);
    ASSERT_EQ(1, LoadPayload(Archive({Input("W.DAT", bytes)})));
    const std::string target = folder.File("W.DAT");
    const std::vector<uint8_t> old = Content(3000, 9);
    struct Fault {
        const char* what;
        void (*inject)();
    };
    const Fault faults[] = {
        {"short write", [] { PlatformOps.WriteFile = HalfWrite; }},
        {"failed replace", [] { PlatformOps.SetFileInformationByHandle = FailingRename; }},
    };
    for (const Fault& f : faults) {
        SavedOps restore;
        WriteBytes(target, old);
        f.inject();
        EXPECT_EQ(0, ExtractEntry("W.DAT", target.c_str(), 0)) << f.what;
        EXPECT_TRUE(old == ReadBytes(target)) << f.what;
        EXPECT_EQ(std::vector<std::string>({"W.DAT"}), folder.Names()) << f.what;
    }
    EXPECT_TRUE(ShownMessages.empty());
}

TEST_F(ExtractTest, FailedTimeStampFailsTheWrite) {
    ASSERT_EQ(1, LoadPayload(Archive({Input("T.DAT", {1})})));
    DirectOps.SetFileTime = FailingSetTime;
    EXPECT_EQ(0, ExtractEntry("T.DAT", folder.File("T.DAT").c_str(), 0));
    EXPECT_EQ(1, WriteWholeFile(folder.File("U.DAT").c_str(), "x", 1, nullptr))
        << "without a time stamp no time is set";
}

TEST_F(ExtractTest, RealFullDiskLeavesTheOldFileWhole) {
    // Drive S: is a 64 KiB tmpfs when the machine lets the test harness mount one.
    if (GetDriveTypeA("S:\\") == DRIVE_NO_ROOT_DIR)
        GTEST_SKIP() << "no small disk S: in this prefix";
    const std::string target = "S:\\FULL.DAT";
    const std::vector<uint8_t> old = Content(8000, 10);
    WriteBytes(target, old);
    ASSERT_EQ(old, ReadBytes(target));
    std::vector<uint8_t> big = Content(400 * 1024, 11);
    ASSERT_EQ(1, LoadPayload(Archive({Input("FULL.DAT", big)})));
    // Claim room so that the write itself meets the full disk.
    DirectOps.GetDiskFreeSpaceExA = FakeFreeSpace;
    FakeFreeBytes = 1ull << 40;
    EXPECT_EQ(0, ExtractEntry("FULL.DAT", target.c_str(), 0));
    EXPECT_TRUE(old == ReadBytes(target));
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA("S:\\~qv*", &fd);
    EXPECT_EQ(INVALID_HANDLE_VALUE, h) << "a temporary file was left: " << fd.cFileName;
    if (h != INVALID_HANDLE_VALUE)
        FindClose(h);
    DeleteFileA(target.c_str());
}

} // namespace
