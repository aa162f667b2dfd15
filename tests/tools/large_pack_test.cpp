// Large payloads as pack and build write them: files in chunks at the chunk boundaries, volumes
// within their limit, a sparse file past 4 GiB, the names of volumes and the removal of stale
// ones, and a stub that cannot read what the payload needs. Every payload is read back through
// the reader the updater uses and checked against the files' bytes and the record's digests.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <map>
#include <memory>
#include <random>

#include "archive/archive_index.h"
#include "archive/payload_deltas.h"
#include "archive/payload_integrity.h"
#include "archive/payload_large.h"
#include "mkupdate/build.h"
#include "mkupdate/entry_reader.h"
#include "mkupdate/host_files.h"
#include "mkupdate/inspect.h"
#include "mkupdate/pack.h"
#include "mkupdate/pack_volumes.h"
#include "mkupdate/payload_file.h"
#include "pe/resource_section.h"
#include "tools/tool_test_support.h"

namespace fs = std::filesystem;

namespace {

void* Alloc(size_t size) {
    return malloc(size ? size : 1);
}

const char kIni[] = "[SETUP]\r\nCompanyName=C\r\nGameTitle=T\r\nGameClass=G\r\nGameDir=D\r\n"
                    "AgreementText=LICENSE.TXT\r\n[UPDATE]\r\nUpdateFile00=u,BIG.DAT\r\n";

// A SHA-256 as the bytes it is, to compare.
std::string Digest(const uint8_t* digest) {
    return std::string((const char*)digest, kSha256Size);
}

std::string FileDigest(const fs::path& file) {
    std::ifstream f(file, std::ios::binary);
    std::vector<char> piece(1 << 20);
    Sha256Context c;
    Sha256Init(&c);
    while (f.read(piece.data(), piece.size()) || f.gcount())
        Sha256Update(&c, (const uint8_t*)piece.data(), (size_t)f.gcount());
    uint8_t d[kSha256Size];
    Sha256Final(&c, d);
    return Digest(d);
}

// The decoded index of an image and its integrity record, checked against each other (every
// feature known). index is null when the image does not open.
struct Checked {
    std::unique_ptr<uint8_t, void (*)(void*)> index{nullptr, free};
    IntegrityRecord record{};
    IntegrityCheckResult result = kIntegrityRecordDamaged;
};

void CheckImage(const uint8_t* image, size_t size, Checked* out) {
    out->index.reset(OpenArchiveImage(image, (uint32_t)size, Alloc, free));
    ASSERT_NE(nullptr, out->index);
    uint32_t at;
    const uint8_t* rec = FindIntegrityEntry(out->index.get(), image, &at);
    ASSERT_NE(nullptr, rec);
    out->result =
        CheckIndexIntegrity(out->index.get(), image + at, EntryDecodedSize(rec), &out->record, ~0u);
}

// What a payload holds. It must pass mkupdate verify, which decodes every entry (placed ones
// through the chunk reader the updater uses) and hashes every volume against the record; the
// digests here are the record's, which the tests compare with the files'.
struct Read {
    uint32_t features = 0;
    std::map<std::string, std::string> digests; // by entry name, of the decoded bytes
    std::map<std::string, bool> inImage;
    std::vector<std::string> volumes;
};

void ReadPayload(const fs::path& file, Read* out) {
    OpenedPayload payload;
    std::string error;
    ASSERT_EQ(1, OpenPayload(file, &payload, &error)) << error;
    std::vector<std::string> problems;
    EXPECT_EQ(1, VerifyPayload(payload.image, &problems)) << (problems.empty() ? "" : problems[0]);
    Checked c;
    CheckImage(payload.image.data, payload.image.size, &c);
    ASSERT_EQ(kIntegrityIntact, c.result);
    out->features = c.record.requiredFeatures;
    for (uint32_t v = 0; v < c.record.volumeCount; ++v) {
        PayloadVolume pv;
        ReadPayloadVolume(c.record.volumes, v, &pv);
        out->volumes.push_back(pv.name);
    }
    for (const EntryPlace& e : Places(c.index.get(), &c.record)) {
        if (e.position >= c.record.entryCount)
            continue;
        const std::string name = EntryName(e.rec);
        out->inImage[name] = !(e.placed && (e.entry.flags & kPlacedInVolumes));
        out->digests[name] = Digest(c.record.entryDigests + (size_t)e.position * kSha256Size);
    }
}

// size bytes that compress somewhat: runs of one byte among random ones.
std::string Content(uint64_t size, uint32_t seed) {
    std::mt19937 random(seed);
    std::string s((size_t)size, '\0');
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = (char)(i % 64 < 40 ? random() : 'a');
    return s;
}

TEST(LargePack, RoundTripsAtTheBoundaries) {
    const uint64_t chunk = kDefaultChunkSize, placed = kPlaceOver + chunk;
    const struct {
        const char* limit; // --volume-limit, or empty
        std::vector<uint64_t> sizes;
        bool large;
        size_t volumes; // at least
    } kCases[] = {
        {"", {0, 100, chunk - 1, chunk, chunk + 1, kPlaceOver}, false, 0},
        {"", {0, placed - 1, placed, placed + 1}, true, 0},
        {"1M", {0, chunk - 1, chunk, chunk + 1, kPlaceOver + 1}, true, 10},
    };
    for (const auto& c : kCases) {
        TempFolder t;
        WriteFile(t.path / "patch" / "UPDATE.INI", kIni);
        WriteFile(t.path / "patch" / "LICENSE.TXT", Content(5000, 7));
        for (size_t i = 0; i < c.sizes.size(); ++i)
            WriteFile(t.path / "patch" / ("F" + std::to_string(i) + ".DAT"),
                      Content(c.sizes[i], (uint32_t)i));
        const fs::path out = t.path / "out" / "p.qv2";
        fs::create_directories(out.parent_path());
        std::vector<std::string> args = {"pack", (t.path / "patch").string(), "-o", out.string(),
                                         "--fast"};
        if (*c.limit)
            args.insert(args.end(), {"--volume-limit", c.limit});
        const RunResult run = RunTool(args);
        ASSERT_EQ(0, run.status) << run.err;
        Read read;
        ReadPayload(out, &read);
        SCOPED_TRACE(std::string("limit ") + c.limit + ", first size " +
                     std::to_string(c.sizes[1]));
        EXPECT_EQ(c.large, (read.features & PAYLOAD_FEATURE_LARGE) != 0);
        EXPECT_LE(c.volumes, read.volumes.size());
        EXPECT_EQ(c.volumes == 0, read.volumes.empty());
        for (const fs::directory_entry& e : fs::directory_iterator(t.path / "patch")) {
            const std::string name = e.path().filename().string();
            EXPECT_EQ(FileDigest(e.path()), read.digests[name]) << name;
            // What the updater reads before checking its volumes stays in the program.
            const bool kept = name == "UPDATE.INI" || name == "LICENSE.TXT" || e.file_size() == 0;
            EXPECT_EQ(kept || read.volumes.empty(), read.inImage[name]) << name;
        }
        for (size_t v = 0; v < read.volumes.size(); ++v) {
            char name[32];
            snprintf(name, sizeof name, "p.%03u", (unsigned)(v + 1) % 1000);
            EXPECT_EQ(name, read.volumes[v]);
            EXPECT_LE(fs::file_size(out.parent_path() / name), 1u << 20);
        }
        // Nothing else beside the output: no spool, no temporary volume.
        EXPECT_EQ(1 + read.volumes.size(),
                  (size_t)std::distance(fs::directory_iterator(out.parent_path()),
                                        fs::directory_iterator()));
    }
}

// Past 4 GiB: a sparse file with a few bytes set at the ends and across the boundary, packed
// into volumes in the process (a run of the program would take long under the sanitizers).
TEST(LargePack, SparseFileOver4GiBInVolumes) {
    TempFolder t;
    WriteFile(t.path / "patch" / "UPDATE.INI", kIni);
    const fs::path huge = t.path / "patch" / "HUGE.DAT";
    WriteFile(huge, "start");
    fs::resize_file(huge, (4ull << 30) + (1u << 20));
    {
        std::fstream f(huge, std::ios::in | std::ios::out | std::ios::binary);
        for (uint64_t at : {(4ull << 30) - 3, (4ull << 30) + (1u << 20) - 4}) {
            f.seekp((std::streamoff)at);
            f.write("mark", 4);
        }
    }
    const fs::path out = t.path / "p.qv2";
    PackOptions options;
    options.level = kCompressFast;
    options.volumeLimit = options.imageLimit = 8u << 20;
    options.volumesFor = out;
    std::vector<uint8_t> image;
    std::vector<std::string> leftOut, told;
    std::string error;
    WrittenVolumes volumes;
    ASSERT_EQ(1,
              PackFolder(t.path / "patch", out, options, &image, &leftOut, &told, &error, &volumes))
        << error;
    ASSERT_EQ(1, WriteHostFile(out, image.data(), image.size(), nullptr, &error));
    ASSERT_EQ(1, PlaceVolumes(out, volumes, &told, &error)) << error;
    Read read;
    ReadPayload(out, &read);
    EXPECT_LT(1u, read.volumes.size());
    EXPECT_EQ(FileDigest(huge), read.digests["HUGE.DAT"]);
}

// A small delta whose result passes 4 GiB is placed, so that the payload requires the feature
// under which such a result is valid; unplaced, the record would be refused.
TEST(LargePack, ADeltaPast4GiBMakesThePayloadLarge) {
    for (bool place : {true, false}) {
        const std::string ini = kIni, delta = "a small delta";
        char name[kDeltaEntryNameCapacity];
        DeltaEntryName(0, name);
        std::vector<ArchiveInput> entries = {
            {"UPDATE.INI", (const uint8_t*)ini.data(), ini.size(), 0, true, true},
            {name, (const uint8_t*)delta.data(), delta.size(), 0, true, true}};
        entries[1].place = place;
        const uint8_t digest[kSha256Size] = {1};
        ArchiveOptions options(kIndexCompressed | kIndexScrambled, kCompressFast, true);
        options.integrity = true;
        options.deltaDescriptors.resize(kDeltaDescriptorSize);
        WriteDeltaDescriptor(PayloadDelta{1, "BIG.DAT", 0, 10, digest, 5ull << 30, digest},
                             options.deltaDescriptors.data());
        std::vector<uint8_t> image;
        std::string error;
        ASSERT_EQ(1, BuildArchiveWith(entries, options, &image, &error)) << error;
        Checked c;
        CheckImage(image.data(), image.size(), &c);
        EXPECT_EQ(place ? kIntegrityIntact : kIntegrityRecordDamaged, c.result) << place;
    }
}

TEST(LargePack, VolumeNamesLimitsAndStaleVolumes) {
    const struct {
        const char* stem;
        const char* name;
        int volume;
    } kNames[] = {{"UPDATE", "UPDATE.001", 1}, {"UPDATE", "update.999", 1},
                  {"UPDATE", "UPDATE.01", 0},  {"UPDATE", "UPDATE.0001", 0},
                  {"UPDATE", "UPDATE.exe", 0}, {"UPDATE", "UPDATE2.001", 0},
                  {"UPDATE", "UPDATE.0a1", 0}, {"UP", "UPDATE.001", 0}};
    for (const auto& n : kNames)
        EXPECT_EQ(n.volume, IsVolumeName(n.stem, n.name)) << n.stem << " " << n.name;
    const struct {
        const char* text;
        uint64_t bytes; // 0: refused
    } kLimits[] = {{"512M", 512ull << 20},
                   {"64K", 64u << 10},
                   {"2G", 2ull << 30},
                   {"1048576", 1u << 20},
                   {"63K", 0},
                   {"3G", 0},
                   {"", 0},
                   {"1T", 0},
                   {"M", 0},
                   {"-1M", 0},
                   {"99999999999999", 0}};
    for (const auto& l : kLimits) {
        uint64_t bytes = 0;
        std::string error;
        EXPECT_EQ(l.bytes != 0, ParseVolumeLimit(l.text, &bytes, &error) == 1) << l.text;
        EXPECT_EQ(l.bytes, bytes) << l.text;
    }

    // Volumes of an earlier build that this one does not write are removed, others left alone;
    // a build that fits in one file removes them all.
    TempFolder t;
    WriteFile(t.path / "patch" / "UPDATE.INI", kIni);
    WriteFile(t.path / "patch" / "LICENSE.TXT", "licence");
    WriteFile(t.path / "patch" / "A.DAT", Content(200u << 10, 1));
    const fs::path out = t.path / "out" / "UPDATE.qv2";
    const std::vector<std::string> stale = {"UPDATE.004", "update.003"};
    const std::vector<std::string> others = {"UPDATE.01", "UPDATE.0001", "OTHER.001"};
    for (const std::string& n : stale)
        WriteFile(out.parent_path() / n, "old");
    for (const std::string& n : others)
        WriteFile(out.parent_path() / n, "not ours");
    const std::vector<std::string> pack = {"pack", (t.path / "patch").string(), "-o", out.string(),
                                           "--fast"};
    std::vector<std::string> args = pack;
    args.insert(args.end(), {"--volume-limit", "64K"});
    RunResult run = RunTool(args);
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_NE(std::string::npos, run.err.find("a volume of an earlier build")) << run.err;
    Read read;
    ReadPayload(out, &read);
    ASSERT_LE(2u, read.volumes.size());
    ASSERT_GE(3u, read.volumes.size());
    for (const std::string& n : stale)
        EXPECT_FALSE(fs::exists(out.parent_path() / n)) << n;
    for (const std::string& n : others)
        EXPECT_TRUE(fs::exists(out.parent_path() / n)) << n;
    // Built into the patch folder itself, the output's volumes are no files of the patch.
    fs::copy_file(out.parent_path() / "UPDATE.001", t.path / "patch" / "UPDATE.001");
    std::vector<std::string> inside = pack;
    inside[3] = (t.path / "patch" / "UPDATE.qv2").string();
    run = RunTool(inside);
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_NE(std::string::npos, run.err.find("a volume of the output")) << run.err;
    EXPECT_FALSE(fs::exists(t.path / "patch" / "UPDATE.001"));
    run = RunTool(pack);
    ASSERT_EQ(0, run.status) << run.err;
    for (const std::string& n : read.volumes)
        EXPECT_FALSE(fs::exists(out.parent_path() / n)) << n;
    for (const std::string& n : others)
        EXPECT_TRUE(fs::exists(out.parent_path() / n)) << n;
}

// A stub that reads every feature but large payloads takes a patch of small files and refuses
// one with a file in chunks, writing nothing; a stub that reads them gets the program and its
// volumes, the payload whole.
TEST(LargePack, BuildNeedsAStubThatReadsLargePayloads) {
    TempFolder t;
    const auto stubWith = [&](uint32_t features) {
        std::vector<uint8_t> image, built;
        std::vector<Resource> resources;
        std::string error;
        EXPECT_EQ(1, ReadHostFile(FIXTURE_RSRC_LAST, &image, &error));
        EXPECT_EQ(1, ReadPeResources(image, true, &resources, &error)) << error;
        Resource r;
        r.type = ResourceName("PAYLOADFEATURES");
        r.name = ResourceId(PAYLOAD_FEATURES_RESOURCE_ID);
        r.data.assign(8, 0);
        memcpy(r.data.data(), "QVFT", 4);
        StoreLE32(r.data.data() + 4, features);
        resources.push_back(r);
        EXPECT_EQ(1, RebuildResourceSection(image, resources, &built, &error)) << error;
        const fs::path stub = t.path / ("stub" + std::to_string(features) + ".exe");
        WriteFile(stub, std::string(built.begin(), built.end()));
        return stub.string();
    };
    const std::string without = stubWith(~(uint32_t)PAYLOAD_FEATURE_LARGE);
    const std::string with = stubWith(~0u);
    WriteFile(t.path / "patch" / "UPDATE.INI", kIni);
    WriteFile(t.path / "patch" / "LICENSE.TXT", "licence");
    WriteFile(t.path / "patch" / "BIG.DAT", "small");
    const fs::path out = t.path / "out" / "UPDATE.exe";
    fs::create_directories(out.parent_path());
    const std::vector<std::string> build = {
        "build", (t.path / "patch").string(), "-o", out.string(), "--fast", "--stub"};
    std::vector<std::string> args = build;
    args.push_back(without);
    RunResult run = RunTool(args);
    ASSERT_EQ(0, run.status) << run.err;
    fs::remove(out);

    WriteFile(t.path / "patch" / "BIG.DAT", Content(kPlaceOver + 1, 3));
    args.insert(args.end(), {"--volume-limit", "2M"});
    run = RunTool(args);
    EXPECT_EQ(1, run.status);
    EXPECT_NE(std::string::npos, run.err.find("reads large payloads")) << run.err;
    EXPECT_TRUE(fs::is_empty(out.parent_path()));

    args[args.size() - 3] = with;
    run = RunTool(args);
    ASSERT_EQ(0, run.status) << run.err;
    Read read;
    ReadPayload(out, &read);
    EXPECT_LE(2u, read.volumes.size());
    EXPECT_EQ("UPDATE.001", read.volumes[0]);
    EXPECT_EQ(FileDigest(t.path / "patch" / "BIG.DAT"), read.digests["BIG.DAT"]);
    EXPECT_LE(fs::file_size(out), 2u << 20);
}

} // namespace
