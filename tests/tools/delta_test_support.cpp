#include "tools/delta_test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <random>

#include "archive/archive_index.h"
#include "archive/delta_apply.h"
#include "archive/payload_deltas.h"
#include "archive/payload_integrity.h"
#include "payload/archive_writer.h"
#include "payload/compress.h"
#include "pe/resource_section.h"
#include "tools/tool_test_support.h"

namespace fs = std::filesystem;

namespace {

void* Alloc(size_t size) {
    return malloc(size ? size : 1);
}
void Free(void* p) {
    free(p);
}

const char kIni[] = "[SETUP]\r\nCompanyName=Maker\r\nGameTitle=Game\r\nGameClass=GameWnd\r\n"
                    "GameDir=GameDir\r\nDataFolder=game\r\n[UPDATE]\r\n"
                    "UpdateFile00=u,data\\BIG.DAT\r\nUpdateFile01=PROG.DAT\r\n"
                    "UpdateFile02=o,OPT.DAT\r\nUpdateFile03=d,SAVE.DAT\r\n";

// Words drawn from a fixed generator: text that compresses somewhat, as game data does.
std::string Text(unsigned seed, size_t size) {
    static const char* const kWords[] = {"scene", "akari", "bgm",  "wait", "haruto", "the",
                                         "door",  "opens", "rain", "mio",  "face",   "sky"};
    std::mt19937 rng(seed);
    std::string text;
    while (text.size() < size)
        text += std::string(kWords[rng() % 12]) + (rng() % 9 ? " " : "\r\n") +
                std::to_string(rng() % 1000);
    text.resize(size);
    return text;
}

// The text with count spans of a few bytes rewritten here and there.
std::string Edited(std::string text, unsigned seed, int count) {
    std::mt19937 rng(seed);
    for (int i = 0; i < count; ++i) {
        const size_t at = rng() % (text.size() - 16);
        for (size_t k = 0; k < 12; ++k)
            text[at + k] = (char)('A' + rng() % 26);
    }
    return text;
}

void SetTime(const fs::path& file) {
    const struct timespec times[2] = {{1700000000, 0}, {1700000000, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, file.c_str(), times, 0)) << file;
}

uint64_t FileTimeOf(const fs::path& file) {
    struct stat st;
    EXPECT_EQ(0, stat(file.c_str(), &st)) << file;
    return ((uint64_t)st.st_mtim.tv_sec + 11644473600ull) * 10000000ull +
           (uint64_t)st.st_mtim.tv_nsec / 100;
}

std::vector<uint8_t> Digest(const std::string& bytes) {
    std::vector<uint8_t> d(kSha256Size);
    Sha256((const uint8_t*)bytes.data(), bytes.size(), d.data());
    return d;
}

std::string Hex(const std::vector<uint8_t>& bytes, size_t count) {
    std::string hex;
    char two[3];
    for (size_t i = 0; i < count && i < bytes.size(); ++i) {
        snprintf(two, sizeof two, "%02x", bytes[i]);
        hex += two;
    }
    return hex;
}

} // namespace

Releases MakeReleases(const fs::path& root) {
    Releases r{root / "patch", root / "a", root / "b", root / "c"};
    const std::string big = Text(1, 40000), prog = Text(2, 12000), save = Text(3, 12000),
                      note = Text(4, 12000);
    WriteFile(r.patch / "UPDATE.INI", kIni);
    WriteFile(r.patch / "data" / "BIG.DAT", Edited(big, 30, 20));
    WriteFile(r.patch / "PROG.DAT", Edited(prog, 31, 5));
    WriteFile(r.patch / "OPT.DAT", "options 3");
    WriteFile(r.patch / "SAVE.DAT", Edited(save, 32, 5));
    WriteFile(r.patch / "NOTE.TXT", Edited(note, 33, 5));
    for (const char* name :
         {"UPDATE.INI", "data/BIG.DAT", "PROG.DAT", "OPT.DAT", "SAVE.DAT", "NOTE.TXT"})
        SetTime(r.patch / name);
    int version = 1;
    for (const fs::path& release : {r.a, r.b, r.c}) {
        const fs::path game = release / "game";
        if (release != r.c)
            WriteFile(game / "data" / "BIG.DAT", Edited(big, 10 + version, 15));
        WriteFile(game / "PROG.DAT", prog);
        WriteFile(game / "OPT.DAT", "options " + std::to_string(version));
        WriteFile(game / "SAVE.DAT", save);
        WriteFile(game / "NOTE.TXT", note);
        ++version;
    }
    return r;
}

bool Payload::HasEntry(const std::string& name) const {
    for (const std::string& n : names)
        if (strcasecmp(n.c_str(), name.c_str()) == 0)
            return true;
    return false;
}

Payload ReadPayload(const fs::path& file) {
    Payload p;
    const std::string bytes = ReadFile(file);
    p.image.assign(bytes.begin(), bytes.end());
    uint8_t* index = OpenArchiveImage(p.image.data(), (uint32_t)p.image.size(), Alloc, Free);
    EXPECT_NE(nullptr, index) << file;
    if (!index)
        return p;
    p.entryCount = IndexEntryCount(index);
    std::vector<uint32_t> offsets;
    uint32_t offset = kArchiveHeaderSize;
    for (uint32_t i = 0; i < p.entryCount; ++i) {
        const uint8_t* rec = IndexRecords(index) + (size_t)i * kArchiveEntrySize;
        p.names.push_back(EntryName(rec));
        offsets.push_back(offset);
        offset += PaddedSize(EntryStoredSize(rec));
    }
    uint32_t recordOffset;
    const uint8_t* entry = FindIntegrityEntry(index, p.image.data(), &recordOffset);
    EXPECT_NE(nullptr, entry);
    IntegrityRecord r;
    if (entry && ParseIntegrityRecord(p.image.data() + recordOffset, EntryStoredSize(entry), &r) ==
                     kIntegrityParsed) {
        for (uint32_t i = 0; i < r.deltaCount; ++i) {
            PayloadDelta d;
            ReadDeltaDescriptor(r.deltas, i, &d);
            const uint8_t* rec = IndexRecords(index) + (size_t)d.entryPosition * kArchiveEntrySize;
            DeltaSeen seen{d.entryPosition,
                           EntryName(rec),
                           d.target,
                           d.time,
                           d.baseSize,
                           d.resultSize,
                           std::vector<uint8_t>(d.baseDigest, d.baseDigest + kSha256Size),
                           std::vector<uint8_t>(d.resultDigest, d.resultDigest + kSha256Size),
                           {},
                           offsets[d.entryPosition],
                           EntryStoredSize(rec)};
            const uint8_t* decoded;
            uint8_t* block = nullptr;
            if (DecodeEntry(rec, p.image.data() + seen.storedOffset, Alloc, Free, &decoded,
                            &block) == kEntryDecoded)
                seen.bytes.assign(decoded, decoded + EntryDecodedSize(rec));
            free(block);
            DeltaInfo info;
            if (ReadDeltaInfo(seen.bytes.data(), seen.bytes.size(), &info) == kDeltaOk &&
                info.flags)
                p.flagged = true;
            p.deltas.push_back(seen);
        }
        // Every payload the tests read holds pack to this: the bit exactly with a flagged delta.
        EXPECT_EQ(p.flagged, (r.requiredFeatures & PAYLOAD_FEATURE_MODELED_DELTAS) != 0) << file;
    } else {
        ADD_FAILURE() << "the integrity record of " << file << " does not parse";
    }
    free(index);
    return p;
}

void ExpectDelta(const Payload& p, size_t n, const std::string& target, const fs::path& baseFile,
                 const fs::path& newFile) {
    ASSERT_LT(n, p.deltas.size());
    const DeltaSeen& d = p.deltas[n];
    char name[kDeltaEntryNameCapacity];
    DeltaEntryName((uint32_t)n, name);
    EXPECT_EQ(name, d.name);
    EXPECT_EQ(target, d.target) << n;
    const std::string base = ReadFile(baseFile), result = ReadFile(newFile);
    EXPECT_EQ(base.size(), d.baseSize) << n;
    EXPECT_EQ(Digest(base), d.baseDigest) << n;
    EXPECT_EQ(result.size(), d.resultSize) << n;
    EXPECT_EQ(Digest(result), d.resultDigest) << n;
    EXPECT_EQ(FileTimeOf(newFile), d.time) << n;
    std::vector<uint8_t> out(result.size()), scratch(kDeltaScratchSize);
    size_t produced = 0;
    ASSERT_EQ(kDeltaOk,
              ApplyDelta((const uint8_t*)base.data(), base.size(), d.bytes.data(), d.bytes.size(),
                         out.data(), out.size(), scratch.data(), scratch.size(), &produced))
        << n;
    EXPECT_TRUE(std::string(out.begin(), out.end()) == result) << n;
}

std::string HexStart(const fs::path& file) {
    return Hex(Digest(ReadFile(file)), 8);
}

std::string WholeFilesPayload(const fs::path& dir) {
    std::vector<std::pair<std::string, fs::path>> files;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file())
            files.push_back({fs::relative(e.path(), dir).string(), e.path()});
    std::sort(files.begin(), files.end());
    std::vector<std::string> contents;
    for (const auto& f : files)
        contents.push_back(ReadFile(f.second));
    std::vector<ArchiveInput> entries;
    for (size_t i = 0; i < files.size(); ++i)
        entries.push_back(ArchiveInput{files[i].second.filename().string(),
                                       (const uint8_t*)contents[i].data(), contents[i].size(),
                                       FileTimeOf(files[i].second), true, true});
    ArchiveOptions options{kIndexCompressed | kIndexScrambled, kCompressBest, true};
    options.integrity = true;
    std::vector<uint8_t> image;
    std::string error;
    EXPECT_EQ(1, BuildArchiveWith(entries, options, &image, &error)) << error;
    return std::string(image.begin(), image.end());
}

uint64_t WholeStoredSize(const fs::path& file) {
    const std::string bytes = ReadFile(file);
    std::vector<uint8_t> packed;
    CompressBlock((const uint8_t*)bytes.data(), bytes.size(), kCompressBest, &packed);
    return std::min<uint64_t>(packed.size(), bytes.size());
}

void WriteStubDeclaring(const fs::path& stub, uint32_t features, const fs::path& out) {
    const std::string bytes = ReadFile(stub);
    const std::vector<uint8_t> image(bytes.begin(), bytes.end());
    std::vector<Resource> resources;
    std::string error;
    ASSERT_EQ(1, ReadPeResources(image, true, &resources, &error)) << error;
    Resource declaration{ResourceName("PAYLOADFEATURES"),
                         ResourceId(PAYLOAD_FEATURES_RESOURCE_ID),
                         kPayloadLanguage,
                         0,
                         {'Q', 'V', 'F', 'T', 0, 0, 0, 0},
                         0,
                         0};
    StoreLE32(declaration.data.data() + 4, features);
    resources.push_back(declaration);
    std::vector<uint8_t> built;
    ASSERT_EQ(1, RebuildResourceSection(image, resources, &built, &error)) << error;
    WriteFile(out, std::string(built.begin(), built.end()));
}

std::map<std::string, std::string> TreeOf(const fs::path& dir) {
    std::map<std::string, std::string> tree;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file())
            tree[fs::relative(e.path(), dir).string()] = Hex(Digest(ReadFile(e.path())), 32);
    return tree;
}
