// Large payloads as list, verify and extract meet them: volumes beside the payload, checked
// whole and named when they are missing, short or damaged, and an entry past 4 GiB written
// chunk by chunk without ever being held whole.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>

#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "archive/archive_index.h"
#include "archive/payload_integrity.h"
#include "archive/payload_large.h"
#include "mkupdate/inspect.h"
#include "payload/chunk_writer.h"
#include "pe/resource_section.h"
#include "tools/delta_test_support.h"
#include "tools/tool_test_support.h"

namespace {

namespace fs = std::filesystem;

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string Noise(size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = (char)random();
    return bytes;
}

// Every volume fault is named by verify and by extract, which then writes nothing; an intact
// set is listed by volume, verified (deltas applied from the volumes too) and extracted whole.
TEST(MkupdateVolumes, ListVerifyAndExtractReadThemOrNameTheOneThatIsWrong) {
    TempFolder t;
    const Releases r = MakeReleases(t.path);
    WriteFile(r.patch / "A.DAT", Noise(300000, 1));
    WriteFile(r.patch / "B.DAT", Noise(200000, 2));
    const fs::path payload = t.path / "out" / "P.QV2";
    fs::create_directories(payload.parent_path());
    RunResult pack = RunTool({"pack", r.patch.string(), "-o", payload.string(), "--fast",
                              "--volume-limit", "64K", "--base", r.a.string()});
    ASSERT_EQ(0, pack.status) << pack.err;
    ASSERT_TRUE(fs::exists(t.path / "out" / "P.005")) << "the files span several volumes";

    RunResult list = RunTool({"list", payload.string()});
    ASSERT_EQ(0, list.status) << list.err;
    EXPECT_TRUE(Has(list.out, "chunked")) << list.out;
    EXPECT_TRUE(Has(list.out, "P.001..P.00")) << "an entry runs through volumes: " << list.out;
    EXPECT_TRUE(Has(list.out, "volume P.001: 65536 bytes")) << list.out;
    RunResult verify = RunTool({"verify", payload.string(), "--base", r.a.string()});
    EXPECT_EQ(0, verify.status) << verify.err;
    EXPECT_TRUE(Has(verify.out, "volumes beside the payload, each of the size and SHA-256"))
        << verify.out;
    EXPECT_TRUE(Has(verify.out, "applied entry <QV2|DELTA|")) << verify.out;
    RunResult extract = RunTool({"extract", payload.string(), "-d", (t.path / "all").string()});
    ASSERT_EQ(0, extract.status) << extract.err;
    for (const char* name : {"A.DAT", "B.DAT", "NOTE.TXT"})
        EXPECT_TRUE(ReadFile(r.patch / name) == ReadFile(t.path / "all" / name)) << name;

    struct Case {
        const char* what;
        const char* volume;
        void (*damage)(const fs::path& file);
        const char* expect;
    };
    const Case cases[] = {
        {"missing", "P.002", [](const fs::path& f) { fs::remove(f); },
         "volume P.002 is missing (looked for as "},
        {"short", "P.003", [](const fs::path& f) { fs::resize_file(f, fs::file_size(f) - 1); },
         "volume P.003 is short: 65535 bytes, its record says 65536"},
        {"long", "P.001", [](const fs::path& f) { fs::resize_file(f, fs::file_size(f) + 1); },
         "volume P.001 is longer than its record says"},
        {"flipped", "P.004",
         [](const fs::path& f) {
             std::fstream io(f, std::ios::binary | std::ios::in | std::ios::out);
             io.seekp(12345);
             io.put('\x5A' ^ (char)ReadFile(f)[12345]);
         },
         "volume P.004 is damaged: its bytes do not match their SHA-256"},
    };
    for (const Case& c : cases) {
        const fs::path copy = t.path / c.what;
        fs::copy(t.path / "out", copy);
        c.damage(copy / c.volume);
        verify = RunTool({"verify", (copy / "P.QV2").string()});
        EXPECT_EQ(1, verify.status) << c.what;
        EXPECT_TRUE(Has(verify.err, c.expect)) << c.what << ": " << verify.err;
        EXPECT_TRUE(Has(verify.err, ": 1 problem\n")) << "told once, by its volume: " << verify.err;
        extract = RunTool({"extract", (copy / "P.QV2").string(), "-d", (copy / "x").string()});
        EXPECT_EQ(1, extract.status) << c.what;
        EXPECT_TRUE(Has(extract.err, c.expect)) << c.what << ": " << extract.err;
        EXPECT_FALSE(fs::exists(copy / "x")) << c.what << ": nothing is written";
    }
}

std::vector<uint8_t> Record(const char* name, uint32_t stored, uint32_t decoded, bool placed) {
    std::vector<uint8_t> rec(kArchiveEntrySize, 0);
    memcpy(rec.data(), name, strlen(name));
    rec[kEntryStoreMethodOffset] = placed ? kStoreCompressed : kStoreRaw;
    rec[kEntryScrambleMethodOffset] = placed ? kScrambled : kScrambleNone;
    StoreLE32(rec.data() + kEntryDecodedSizeOffset, decoded);
    StoreLE32(rec.data() + kEntryStoredSizeOffset, stored);
    return rec;
}

// A file of 4 GiB + 1 MiB, zeros but for a byte past 4 GiB, travels in a volume as chunks put
// together here (every zero chunk the same bytes), so that nothing encodes 4 GiB. extract writes
// it whole, its SHA-256 as the record says, and its peak memory stays far below its size.
TEST(MkupdateVolumes, AnEntryPast4GiBIsExtractedChunkByChunk) {
    TempFolder t;
    const uint64_t size = (4ull << 30) + (1u << 20), marked = 4ull << 30;
    const uint32_t chunks = ChunkCountFor(size, kDefaultChunkSize);
    const std::vector<uint8_t> zeros(kDefaultChunkSize, 0);
    std::vector<uint8_t> marks = zeros, zeroChunk, markChunk;
    marks[0] = 'A';
    const uint32_t zeroWord =
        EncodeChunk(zeros.data(), kDefaultChunkSize, kCompressFast, true, &zeroChunk);
    const uint32_t markWord =
        EncodeChunk(marks.data(), kDefaultChunkSize, kCompressFast, true, &markChunk);
    const uint32_t markAt = (uint32_t)(marked / kDefaultChunkSize);
    std::vector<uint8_t> volume((size_t)ChunkTableSize(chunks));
    Sha256Context file;
    Sha256Init(&file);
    for (uint32_t i = 0; i < chunks; ++i) {
        const bool mark = i == markAt;
        StoreLE32(volume.data() + (size_t)i * 4, mark ? markWord : zeroWord);
        const std::vector<uint8_t>& chunk = mark ? markChunk : zeroChunk;
        volume.insert(volume.end(), chunk.begin(), chunk.end());
        Sha256Update(&file, (mark ? marks : zeros).data(), kDefaultChunkSize);
    }
    uint8_t digests[2 * kSha256Size], volumeDigest[kSha256Size];
    Sha256Final(&file, digests + kSha256Size);
    Sha256(volume.data(), volume.size(), volumeDigest);
    WriteFile(t.path / "P.001", std::string(volume.begin(), volume.end()));

    // The image: UPDATE.INI, the placed entry (no bytes in the image) and the record.
    const std::string ini = "[SETUP]\r\n";
    Sha256((const uint8_t*)ini.data(), ini.size(), digests);
    const PlacedEntry entry{1, kPlacedInVolumes, 0, volume.size(), size, kDefaultChunkSize, chunks};
    const PayloadVolume v{"P.001", volume.size(), volumeDigest};
    uint8_t placed[kPlacedEntrySize], volumes[kVolumeRecordSize];
    WritePlacedEntry(entry, placed);
    WritePayloadVolume(v, volumes);
    const LargeSections large{placed, 1, volumes, 1};
    const uint32_t recordSize = IntegrityRecordSize(2, false, 0, &large);
    std::vector<uint8_t> index(kArchiveHeaderSize, 0);
    for (const auto& rec : {Record("UPDATE.INI", (uint32_t)ini.size(), (uint32_t)ini.size(), false),
                            Record("HUGE.DAT", 0, 0, true),
                            Record(kIntegrityEntryName, recordSize, recordSize, false)})
        index.insert(index.end(), rec.begin(), rec.end());
    std::vector<uint8_t> image(kArchiveHeaderSize, 0);
    memcpy(image.data(), "QV2", 4);
    image.insert(image.end(), ini.begin(), ini.end());
    image.resize((size_t)PaddedSize((uint32_t)ini.size()) + kArchiveHeaderSize);
    const size_t recordAt = image.size();
    image.resize(recordAt + recordSize);
    image.resize((size_t)(recordAt + PaddedSize(recordSize)));
    StoreLE32(image.data() + kHeaderIndexOffsetOffset, (uint32_t)image.size());
    StoreLE32(image.data() + kHeaderEntryCountOffset, 3);
    memcpy(index.data(), image.data(), kArchiveHeaderSize);
    uint8_t indexDigest[kSha256Size];
    IndexDigest(index.data(), indexDigest);
    WriteIntegrityRecord(PAYLOAD_FEATURE_INTEGRITY | PAYLOAD_FEATURE_LARGE, indexDigest, nullptr, 2,
                         digests, image.data() + recordAt, 0, nullptr, &large);
    image.insert(image.end(), index.begin() + kArchiveHeaderSize, index.end());

    PayloadImage payload(image);
    payload.folder = t.path;
    std::string listing, error;
    ASSERT_EQ(1, ListPayload(payload, &listing, &error)) << error;
    EXPECT_TRUE(Has(listing, "    4296015872 ")) << "the 64-bit size: " << listing;
    ASSERT_EQ(1, ExtractPayload(payload, t.path / "out", {"HUGE.DAT"}, &error)) << error;
    const fs::path out = t.path / "out" / "HUGE.DAT";
    EXPECT_EQ(size, fs::file_size(out));
    std::ifstream in(out, std::ios::binary);
    for (const uint64_t at : {(uint64_t)0, marked - 1, marked, marked + 1, size - 1}) {
        in.seekg((std::streamoff)at);
        EXPECT_EQ(at == marked ? 'A' : '\0', in.get()) << "at " << at;
    }
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    EXPECT_LT((uint64_t)usage.ru_maxrss * 1024, 1ull << 30)
        << "the entry (4 GiB) is never held whole, nor its file's pages";

    // A flipped bit in the first chunk, the volume's digest made to match: the chunk no longer
    // gives the entry's bytes, and the entry is refused with nothing written.
    volume[(size_t)ChunkTableSize(chunks) + 2] ^= 0x10;
    Sha256(volume.data(), volume.size(), volumeDigest);
    WriteFile(t.path / "P.001", std::string(volume.begin(), volume.end()));
    WritePayloadVolume(v, volumes);
    WriteIntegrityRecord(PAYLOAD_FEATURE_INTEGRITY | PAYLOAD_FEATURE_LARGE, indexDigest, nullptr, 2,
                         digests, image.data() + recordAt, 0, nullptr, &large);
    EXPECT_EQ(1, ExtractPayload(payload, t.path / "small", {"UPDATE.INI"}, &error)) << error;
    EXPECT_EQ(0, ExtractPayload(payload, t.path / "bad", {"HUGE.DAT"}, &error));
    EXPECT_FALSE(fs::exists(t.path / "bad" / "HUGE.DAT")) << error;
}

// build's layout of the rebuilt program borrows the payload rather than copying it, and the
// program written from the parts is the one the joined layout gives.
TEST(MkupdateVolumes, TheRebuiltProgramBorrowsThePayload) {
    const std::string file = ReadFile(FIXTURE_RSRC_LAST);
    const std::vector<uint8_t> stub(file.begin(), file.end());
    std::vector<Resource> resources;
    std::string error;
    ASSERT_EQ(1, ReadPeResources(stub, true, &resources, &error)) << error;
    for (const size_t size : {(size_t)0, (size_t)1000, (size_t)(3u << 20) + 7}) {
        const std::vector<uint8_t> payload(size, 0x5A);
        SetPayloadResource(&resources, payload);
        std::vector<OutputPart> parts;
        std::vector<uint8_t> joined;
        ASSERT_EQ(1, RebuildResourceSection(stub, resources, &parts, &error)) << error;
        ASSERT_EQ(1, RebuildResourceSection(stub, resources, &joined, &error)) << error;
        EXPECT_TRUE(JoinParts(parts) == joined) << size;
        size_t borrowed = 0;
        for (const OutputPart& p : parts)
            borrowed += p.borrowed && p.borrowed == payload.data() ? p.size() : 0;
        EXPECT_EQ(size >= (64u << 10) ? size : 0, borrowed) << size;
    }
}

} // namespace
