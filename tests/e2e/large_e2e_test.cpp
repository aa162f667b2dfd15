// The real UPDATE.exe across the 4 GiB boundary, and on payloads whose entries lie in volumes
// beside it. A file past 4 GiB (sparse: zeros, then 1 MiB of noise from 4 GiB on) is patched by
// a delta that copies across the boundary, adds to bytes beyond it and inserts (the base is
// read by position on both sides, never whole), and written whole from chunks in a volume.
#include <stdlib.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "archive/delta_apply.h"
#include "archive/payload_deltas.h"
#include "e2e/e2e_fixture.h"
#include "payload/archive_writer.h"
#include "support/large_payload.h"
#include "support/simple_delta.h"
#include "win/tree_snapshot.h"

namespace {

const uint64_t kTime = 0x01D9000000000000ull;
const uint64_t kTail = 1u << 20, kFour = 1ull << 32, kSize = kFour + kTail;

using simple_delta::PutVarint;

std::string Noise(uint32_t seed, size_t size) {
    std::mt19937 rng(seed);
    std::string s(size, '\0');
    for (char& c : s)
        c = (char)rng();
    return s;
}

// The base as the updater reads it: its SHA-256 and its delta check value.
void SurveyBase(const std::string& tail, uint8_t digest[kSha256Size], uint64_t* check) {
    std::vector<uint8_t> zeros(1u << 20, 0);
    Sha256Context sha;
    Sha256Init(&sha);
    DeltaCheckState c;
    DeltaCheckBegin(&c, kSize);
    for (uint64_t done = 0; done < kFour; done += zeros.size()) {
        Sha256Update(&sha, zeros.data(), zeros.size());
        DeltaCheckUpdate(&c, zeros.data(), zeros.size());
    }
    Sha256Update(&sha, tail.data(), tail.size());
    DeltaCheckUpdate(&c, (const uint8_t*)tail.data(), tail.size());
    Sha256Final(&sha, digest);
    *check = DeltaCheckEnd(&c);
}

// One window from 512 KiB before the boundary: COPY 1 MiB, ADD 4 bytes, INSERT 5.
std::vector<uint8_t> CrossingDelta(const std::string& tail, uint64_t baseCheck,
                                   std::string* result) {
    *result = std::string(kTail / 2, '\0') + tail.substr(0, kTail / 2);
    const uint8_t diff[4] = {1, 2, 3, 250};
    for (int i = 0; i < 4; ++i)
        *result += (char)(uint8_t)(tail[kTail / 2 + i] + diff[i]);
    *result += "HELLO";
    std::vector<uint8_t> lengths;
    PutVarint(&lengths, kTail - kDeltaOpLongCode - 1);
    const std::vector<uint8_t> streams[kDeltaStreamCount] = {
        {(uint8_t)(kDeltaOpLongCode << 2 | kDeltaOpCopy), (uint8_t)(3 << 2 | kDeltaOpAdd),
         (uint8_t)(4 << 2 | kDeltaOpInsert)},
        lengths,
        {},
        std::vector<uint8_t>(diff, diff + 4),
        {'H', 'E', 'L', 'L', 'O'}};
    std::vector<uint8_t> delta(kDeltaMagic, kDeltaMagic + kDeltaMagicSize);
    PutVarint(&delta, 0);
    PutVarint(&delta, kSize);
    PutVarint(&delta, result->size());
    uint8_t word[8];
    DeltaStore64(word, baseCheck);
    delta.insert(delta.end(), word, word + 8);
    DeltaStore64(word, DeltaCheck((const uint8_t*)result->data(), result->size()));
    delta.insert(delta.end(), word, word + 8);
    PutVarint(&delta, 1);
    PutVarint(&delta, result->size());
    PutVarint(&delta, kFour - kTail / 2);
    for (const auto& s : streams) {
        delta.push_back(kStreamStored);
        PutVarint(&delta, s.size());
        PutVarint(&delta, s.size());
    }
    for (const auto& s : streams)
        delta.insert(delta.end(), s.begin(), s.end());
    return delta;
}

// The SHA-256 and size of the file at path, read in parts.
std::string FileDigest(const std::string& path, uint64_t* size) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    std::vector<uint8_t> buffer(4u << 20);
    Sha256Context c;
    Sha256Init(&c);
    *size = 0;
    DWORD got = 0;
    while (h != INVALID_HANDLE_VALUE &&
           ReadFile(h, buffer.data(), (DWORD)buffer.size(), &got, nullptr) && got > 0) {
        Sha256Update(&c, buffer.data(), got);
        *size += got;
    }
    CloseHandle(h);
    uint8_t digest[kSha256Size];
    Sha256Final(&c, digest);
    return std::string((const char*)digest, kSha256Size);
}

// While the dialog is open, the volume may be neither written nor renamed by anyone else.
std::string HeldVolume;
bool VolumeChangeable = false;
void TryToChangeVolume(size_t index, const WindowRecord&) {
    if (index != 0)
        return;
    HANDLE h = CreateFileA(HeldVolume.c_str(), GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    VolumeChangeable = h != INVALID_HANDLE_VALUE;
    CloseHandle(h);
    const std::string aside = HeldVolume + ".aside";
    if (MoveFileA(HeldVolume.c_str(), aside.c_str())) {
        VolumeChangeable = true;
        MoveFileA(aside.c_str(), HeldVolume.c_str());
    }
}

class LargeE2ETest : public UpdaterRunTest {
  protected:
    // UPDATE.exe under another name than it was built with, beside its volumes: every entry
    // not marked keep lies in them.
    std::string MakeVolumeUpdater(const std::vector<ArchiveInput>& entries, uint64_t imageLimit,
                                  uint64_t volumeLimit, std::vector<std::string>* volumes) {
        for (int i = 1; i <= 9; ++i)
            RemoveDirectoryA(folder.File("UPDATE.00" + std::to_string(i)).c_str());
        std::vector<uint8_t> image;
        std::string error;
        ArchiveOptions options(kIndexCompressed | kIndexScrambled, kCompressFast, true);
        EXPECT_EQ(1, BuildWithVolumes(entries, options, folder.path, imageLimit, volumeLimit,
                                      &image, volumes, &error))
            << error;
        const std::string built = MakeUpdater(folder.path, &image);
        const std::string renamed = folder.File("パッチ-v2.exe");
        if (built.empty() ||
            !MoveFileExA(built.c_str(), renamed.c_str(), MOVEFILE_REPLACE_EXISTING))
            return std::string();
        return renamed;
    }
};

TEST_F(LargeE2ETest, ABasePastFourGibIsPatchedByDelta) {
    const std::string tail = Noise(9, (size_t)kTail);
    const std::string path = InstallFile("BIG.DAT");
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    LARGE_INTEGER at;
    at.QuadPart = (LONGLONG)kFour;
    DWORD wrote = 0;
    ASSERT_TRUE(SetFilePointerEx(h, at, nullptr, FILE_BEGIN));
    ASSERT_TRUE(WriteFile(h, tail.data(), (DWORD)kTail, &wrote, nullptr) && wrote == kTail);
    CloseHandle(h);
    SetWriteTime(path, kTime - 50);

    uint8_t baseDigest[kSha256Size], resultDigest[kSha256Size];
    uint64_t baseCheck;
    SurveyBase(tail, baseDigest, &baseCheck);
    std::string result;
    const std::vector<uint8_t> delta = CrossingDelta(tail, baseCheck, &result);
    Sha256(result.data(), result.size(), resultDigest);

    const std::string ini = UpdateIniSetup("[UPDATE]\r\nUpdateFile00=BIG.DAT\r\n");
    char entry[kDeltaEntryNameCapacity];
    DeltaEntryName(0, entry);
    ArchiveOptions options(kIndexCompressed | kIndexScrambled, kCompressFast, true);
    options.integrity = true;
    const PayloadDelta d{1, "BIG.DAT", kTime, kSize, baseDigest, result.size(), resultDigest};
    options.deltaDescriptors.resize(kDeltaDescriptorSize);
    WriteDeltaDescriptor(d, options.deltaDescriptors.data());
    std::vector<uint8_t> image;
    std::string error;
    ASSERT_EQ(1, BuildArchiveWith(
                     {{"UPDATE.INI", (const uint8_t*)ini.data(), ini.size(), kTime, true, true},
                      {entry, delta.data(), delta.size(), kTime, true, true}},
                     options, &image, &error))
        << error;

    // Reading 4 GiB twice takes longer than the driver's usual guard against a hung run.
    SetEnvironmentVariableA("UPDRIVER_TIMEOUT_MS", "1800000");
    // The greeting, the confirm page, the running page as often as it is seen, completion.
    const Transcript t =
        RunExe(MakeUpdater(folder.path, &image), std::vector<std::string>(6, "click:1"));
    SetEnvironmentVariableA("UPDRIVER_TIMEOUT_MS", nullptr);
    EXPECT_EQ(1u, t.exitCode) << t.Text();
    const std::vector<uint8_t> now = ReadBytes(path);
    EXPECT_TRUE(std::string(now.begin(), now.end()) == result);
    EXPECT_TRUE(RunLeftovers(install).empty());
}

// The whole file, 4 GiB and 1 MiB, from 65537 chunks in a volume: decoded chunk by chunk into
// the staged file, hashed as it passes, its size counted in 64 bits everywhere.
TEST_F(LargeE2ETest, AFilePastFourGibIsWrittenWholeFromVolumes) {
    const std::string tail = Noise(10, (size_t)kTail);
    const std::string path = InstallFile("BIG.DAT");
    WriteBytes(path, Bytes("old big"));
    SetWriteTime(path, kTime - 50);
    const std::string ini = UpdateIniSetup("[UPDATE]\r\nUpdateFile00=BIG.DAT\r\n");
    // Pages never written read as zeros and take no memory.
    uint8_t* big = (uint8_t*)VirtualAlloc(nullptr, kSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    ASSERT_NE(nullptr, big);
    memcpy(big + kFour, tail.data(), kTail);
    std::vector<std::string> volumes;
    const std::string exe = MakeVolumeUpdater(
        {{"UPDATE.INI", (const uint8_t*)ini.data(), ini.size(), kTime, true, true, true},
         {"BIG.DAT", big, kSize, kTime, true, true}},
        64u << 10, UINT64_MAX, &volumes);
    VirtualFree(big, 0, MEM_RELEASE);
    ASSERT_EQ(1u, volumes.size());
    SetEnvironmentVariableA("UPDRIVER_TIMEOUT_MS", "1800000");
    const Transcript t = RunExe(exe, std::vector<std::string>(6, "click:1"));
    SetEnvironmentVariableA("UPDRIVER_TIMEOUT_MS", nullptr);
    EXPECT_EQ(1u, t.exitCode) << t.Text();
    uint8_t expected[kSha256Size];
    uint64_t check, size = 0;
    SurveyBase(tail, expected, &check);
    EXPECT_TRUE(std::string((const char*)expected, kSha256Size) == FileDigest(path, &size));
    EXPECT_EQ(kSize, size);
    EXPECT_TRUE(RunLeftovers(install).empty());
}

// A patch whose files lie in three volumes (one entry runs across all of them), another in
// chunks in the image, a third stored whole: applied by an UPDATE.exe renamed after it was
// built. Then the same patch with one volume missing, cut short or changed in one byte: each
// refused, naming the volume, before anything is written.
TEST_F(LargeE2ETest, VolumesAreAppliedOrRefusedBeforeTheFirstWrite) {
    const std::string a = Noise(1, 600000), b = Noise(2, 150000) + std::string(100000, 'b');
    const std::string ini = UpdateIniSetup(
        "[UPDATE]\r\nUpdateFile00=A.DAT\r\nUpdateFile01=B.DAT\r\nUpdateFile02=C.DAT\r\n");
    const std::vector<ArchiveInput> entries = {
        {"UPDATE.INI", (const uint8_t*)ini.data(), ini.size(), kTime, true, true, true},
        {"A.DAT", (const uint8_t*)a.data(), a.size(), kTime, true, true},
        {"B.DAT", (const uint8_t*)b.data(), b.size(), kTime, true, true, true},
        {"C.DAT", (const uint8_t*)"new c", 5, kTime, true, true, true}};
    const std::string volume = "アップデートデータのファイル「UPDATE.002」";
    struct Case {
        const char* what;
        void (*spoil)(const std::string& path);
        std::vector<std::string> script;
        std::string box;
    } cases[] = {
        {"intact", nullptr, std::vector<std::string>(6, "click:1"), ""},
        {"missing",
         [](const std::string& p) { DeleteFileA(p.c_str()); },
         {"OK"},
         "UPDATE|" + volume +
             "が見つかりません。アップデートプログラムと同じフォルダに置いてください"},
        {"short",
         [](const std::string& p) {
             std::vector<uint8_t> v = ReadBytes(p);
             v.pop_back();
             WriteBytes(p, v);
         },
         {"OK"},
         "UPDATE|" + volume + "の大きさが正しくありません"},
        {"a folder",
         [](const std::string& p) {
             DeleteFileA(p.c_str());
             CreateDirectoryA(p.c_str(), nullptr);
         },
         {"OK"},
         "UPDATE|" + volume + "を開けません"},
        {"flipped",
         [](const std::string& p) {
             std::vector<uint8_t> v = ReadBytes(p);
             v[v.size() / 2] ^= 0x10;
             WriteBytes(p, v);
         },
         {"click:1", "click:1", "OK", "OK", "OK"},
         std::string(kE2ECaption) + "|" + volume + "が壊れています"},
    };
    for (const Case& c : cases) {
        ScratchFolder::RemoveContents(install);
        WriteBytes(InstallFile("SETUP.INI"), Bytes(InstalledSetupIni()));
        WriteBytes(InstallFile("A.DAT"), Bytes("old a"));
        const TreeSnapshot before = TakeSnapshot(install);
        std::vector<std::string> volumes;
        const std::string exe = MakeVolumeUpdater(entries, 512u << 10, 256u << 10, &volumes);
        ASSERT_EQ(3u, volumes.size());
        HeldVolume = folder.File(volumes[1]);
        if (c.spoil)
            c.spoil(HeldVolume);
        const Transcript t = RunExe(exe, c.script, c.spoil ? nullptr : TryToChangeVolume);
        const std::vector<std::string> boxes = Boxes(t);
        if (!c.spoil) {
            EXPECT_EQ(1u, t.exitCode) << t.Text();
            EXPECT_FALSE(VolumeChangeable);
            EXPECT_EQ(a, ReadText(InstallFile("A.DAT")));
            EXPECT_EQ(b, ReadText(InstallFile("B.DAT")));
            EXPECT_EQ("new c", ReadText(InstallFile("C.DAT")));
            continue;
        }
        EXPECT_EQ(0u, t.exitCode) << c.what;
        EXPECT_NE(boxes.end(), std::find(boxes.begin(), boxes.end(), c.box))
            << c.what << ": " << t.Text();
        EXPECT_TRUE(CompareSnapshots(before, TakeSnapshot(install)).empty()) << c.what;
        EXPECT_TRUE(RunLeftovers(install).empty()) << c.what;
    }
}

} // namespace
