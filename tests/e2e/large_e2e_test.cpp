// The real UPDATE.exe on an installed file past 4 GiB (sparse: zeros, then 1 MiB of noise from
// 4 GiB on) and a delta that copies across the 4 GiB boundary, adds to bytes beyond it and
// inserts: the base is read by position on both sides of the boundary, never whole, and the
// result comes out byte for byte.
#include <stdlib.h>

#include <random>
#include <string>
#include <vector>

#include "archive/delta_apply.h"
#include "archive/payload_deltas.h"
#include "e2e/e2e_fixture.h"
#include "payload/archive_writer.h"
#include "win/tree_snapshot.h"

namespace {

const uint64_t kTime = 0x01D9000000000000ull;
const uint64_t kTail = 1u << 20, kFour = 1ull << 32, kSize = kFour + kTail;

void PutVarint(std::vector<uint8_t>* out, uint64_t v) {
    for (; v >= 0x80; v >>= 7)
        out->push_back((uint8_t)(v | 0x80));
    out->push_back((uint8_t)v);
}

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

class LargeE2ETest : public UpdaterRunTest {};

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

} // namespace
