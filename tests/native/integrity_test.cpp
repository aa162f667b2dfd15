// The payload's integrity record: what the writer puts in, what a reader that knows nothing of
// it still reads, and how the parser and the checks take damaged or unknown records.
#include "archive/payload_integrity.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <random>
#include <string>
#include <vector>

#include "archive/archive_format.h"
#include "archive/archive_index.h"
#include "payload/archive_writer.h"
#include "support/integrity_craft.h"

namespace {

void* Alloc(size_t size) {
    return malloc(size ? size : 1);
}
void Free(void* p) {
    free(p);
}
int SameName(const char* a, const char* b) {
    return strcasecmp(a, b);
}

struct Contents {
    std::vector<std::string> names;
    std::vector<std::vector<uint8_t>> bytes;
};

Contents SomeFiles() {
    Contents c;
    std::mt19937 rng(3);
    const size_t sizes[] = {0, 1, 700, 40000};
    for (size_t i = 0; i < 4; ++i) {
        c.names.push_back("FILE" + std::to_string(i) + ".DAT");
        std::vector<uint8_t> v(sizes[i]);
        for (size_t j = 0; j < v.size(); ++j)
            v[j] = (j % 5) ? (uint8_t) "abcd"[j % 4] : (uint8_t)rng();
        c.bytes.push_back(v);
    }
    return c;
}

std::vector<uint8_t> Build(const Contents& c, uint32_t flags, bool integrity,
                           uint32_t required = 0) {
    std::vector<ArchiveInput> entries;
    for (size_t i = 0; i < c.names.size(); ++i)
        entries.push_back(ArchiveInput{c.names[i], c.bytes[i].data(), c.bytes[i].size(),
                                       0x01D9000000000000ull + i, i % 2 == 0, i < 2});
    ArchiveOptions options{flags, kCompressFast, true};
    options.integrity = integrity;
    options.requiredFeatures = required;
    std::vector<uint8_t> image;
    std::string error;
    EXPECT_EQ(1, BuildArchiveWith(entries, options, &image, &error)) << error;
    return image;
}

// An opened image with its integrity record decoded.
struct Opened {
    uint8_t* index = nullptr;
    const uint8_t* entry = nullptr;
    uint32_t offset = 0;
    std::vector<uint8_t> record;
    ~Opened() { free(index); }
};

void Open(const std::vector<uint8_t>& image, Opened* o) {
    o->index = OpenArchiveImage(image.data(), (uint32_t)image.size(), Alloc, Free);
    ASSERT_NE(nullptr, o->index);
    o->entry = FindIntegrityEntry(o->index, image.data(), &o->offset);
    if (!o->entry)
        return;
    const uint8_t* bytes;
    uint8_t* block;
    ASSERT_EQ(kEntryDecoded,
              DecodeEntry(o->entry, image.data() + o->offset, Alloc, Free, &bytes, &block));
    o->record.assign(bytes, bytes + EntryDecodedSize(o->entry));
    free(block);
}

const std::vector<uint8_t> kDigest(kSha256Size, 0x5A);

TEST(PayloadIntegrity, WriterAppendsTheRecordAndEveryEntryStillReadsAsBefore) {
    const Contents c = SomeFiles();
    for (uint32_t flags = 0; flags < 4; ++flags) {
        const std::vector<uint8_t> image = Build(c, flags, true);
        Opened o;
        Open(image, &o);
        ASSERT_NE(nullptr, o.entry) << flags;
        EXPECT_EQ(c.names.size() + 1, IndexEntryCount(o.index));
        EXPECT_STREQ(kIntegrityEntryName, EntryName(o.entry));
        EXPECT_FALSE(EntryIsCompressed(o.entry));
        EXPECT_FALSE(EntryIsScrambled(o.entry));
        EXPECT_EQ(IntegrityRecordSize((uint32_t)c.names.size(), true), EntryDecodedSize(o.entry));
        // A reader that knows nothing of the record finds and decodes every entry as before.
        for (size_t i = 0; i < c.names.size(); ++i) {
            uint32_t offset;
            const uint8_t* rec = LookupEntry(o.index, c.names[i].c_str(), SameName, &offset);
            ASSERT_NE(nullptr, rec);
            const uint8_t* bytes;
            uint8_t* block;
            ASSERT_EQ(kEntryDecoded,
                      DecodeEntry(rec, image.data() + offset, Alloc, Free, &bytes, &block));
            EXPECT_TRUE(std::vector<uint8_t>(bytes, bytes + EntryDecodedSize(rec)) == c.bytes[i]);
            free(block);
        }
        IntegrityRecord r;
        ASSERT_EQ(kIntegrityIntact,
                  CheckIndexIntegrity(o.index, o.record.data(), (uint32_t)o.record.size(), &r));
        EXPECT_EQ(0u, r.requiredFeatures);
        EXPECT_EQ(c.names.size(), r.entryCount);
        for (uint32_t i = 0; i < r.entryCount; ++i) {
            EXPECT_EQ(1, EntryDigestMatches(r, i, c.bytes[i].data(), (uint32_t)c.bytes[i].size()));
            uint8_t d[kSha256Size];
            Sha256(c.bytes[i].data(), c.bytes[i].size(), d);
            EXPECT_EQ(0, memcmp(d, r.entryDigests + i * kSha256Size, kSha256Size));
        }
        ASSERT_NE(nullptr, r.imageDigest);
        uint8_t d[kSha256Size];
        ImageDigest(image.data(), (uint32_t)image.size(), o.offset, EntryStoredSize(o.entry), d);
        EXPECT_EQ(0, memcmp(d, r.imageDigest, kSha256Size));
        // The same entries always give the same bytes.
        EXPECT_TRUE(image == Build(c, flags, true));
    }
}

TEST(PayloadIntegrity, ArchivesWithoutTheRecordOrWithoutEntries) {
    const Contents c = SomeFiles();
    Opened plain;
    Open(Build(c, 3, false), &plain);
    EXPECT_EQ(nullptr, plain.entry);
    EXPECT_EQ(c.names.size(), IndexEntryCount(plain.index));

    Opened empty;
    Open(Build(Contents(), 3, true), &empty);
    ASSERT_NE(nullptr, empty.entry);
    IntegrityRecord r;
    EXPECT_EQ(kIntegrityIntact, CheckIndexIntegrity(empty.index, empty.record.data(),
                                                    (uint32_t)empty.record.size(), &r));
    EXPECT_EQ(0u, r.entryCount);
    EXPECT_EQ(0, EntryDigestMatches(r, 0, nullptr, 0)) << "no position is covered";
}

TEST(PayloadIntegrity, WriterRefusesTheReservedName) {
    const uint8_t byte = 1;
    for (const char* name : {kIntegrityEntryName, "<qv2|integrity>"}) {
        std::vector<uint8_t> image;
        std::string error;
        EXPECT_EQ(0,
                  BuildArchive({ArchiveInput{name, &byte, 1, 0, false, false}}, 3, &image, &error));
        EXPECT_NE(std::string::npos, error.find("reserved")) << error;
    }
}

TEST(PayloadIntegrity, EveryFlippedBitOfTheRecordIsDamage) {
    const Contents c = SomeFiles();
    Opened o;
    Open(Build(c, 3, true), &o);
    int flips = 0;
    for (size_t bit = 0; bit < o.record.size() * 8; ++bit) {
        std::vector<uint8_t> r = o.record;
        r[bit / 8] ^= (uint8_t)(1u << (bit % 8));
        IntegrityRecord parsed;
        ASSERT_NE(kIntegrityIntact,
                  CheckIndexIntegrity(o.index, r.data(), (uint32_t)r.size(), &parsed))
            << bit;
        ++flips;
    }
    // Cut at every length.
    for (size_t size = 0; size < o.record.size(); ++size) {
        IntegrityRecord parsed;
        ASSERT_EQ(kIntegrityDamaged, ParseIntegrityRecord(o.record.data(), (uint32_t)size, &parsed))
            << size;
    }
    printf("integrity record: %d flipped bits, %zu cut lengths, all refused\n", flips,
           o.record.size());
}

TEST(PayloadIntegrity, ParserTakesSectionsByTheirRules) {
    const auto base = RequiredSections;
    IntegrityRecord r;
    std::vector<uint8_t> rec = Craft(1, 0, base(2));
    ASSERT_EQ(kIntegrityParsed, ParseIntegrityRecord(rec.data(), (uint32_t)rec.size(), &r));
    EXPECT_EQ(2u, r.entryCount);
    EXPECT_EQ(nullptr, r.imageDigest);

    // An unknown tag, before or after the known ones, is skipped.
    auto sections = base(1);
    sections.insert(sections.begin(), {77, std::vector<uint8_t>(13, 1)});
    sections.push_back({0, {}});
    rec = Craft(1, 0, sections);
    ASSERT_EQ(kIntegrityParsed, ParseIntegrityRecord(rec.data(), (uint32_t)rec.size(), &r));
    EXPECT_EQ(1u, r.entryCount);

    // Required features are told, not judged, by the parser.
    rec = Craft(1, 0x80000001u, base(0));
    ASSERT_EQ(kIntegrityParsed, ParseIntegrityRecord(rec.data(), (uint32_t)rec.size(), &r));
    EXPECT_EQ(0x80000001u, r.requiredFeatures);

    struct Case {
        const char* what;
        std::vector<uint8_t> record;
        IntegrityParseResult expect;
    };
    auto twice = base(0);
    twice.push_back({kTagIndexDigest, kDigest});
    auto missing = base(0);
    missing.erase(missing.begin() + 1);
    auto shortDigest = base(0);
    shortDigest[1].second.resize(31);
    auto badCount = base(2);
    StoreLE32(badCount[2].second.data(), 3);
    auto badAlgorithmSize = base(0);
    badAlgorithmSize[0].second.push_back(0);
    auto otherAlgorithm = base(0);
    otherAlgorithm[0].second = U32(2);
    std::vector<uint8_t> pastEnd = Craft(1, 0, base(0));
    StoreLE32(pastEnd.data() + kIntegrityHeaderSize + 4, 0x7FFFFFFF);
    Sha256(pastEnd.data(), pastEnd.size() - kSha256Size, pastEnd.data() + pastEnd.size() - 32);
    std::vector<uint8_t> moreSections = Craft(1, 0, base(0));
    StoreLE32(moreSections.data() + 12, 4);
    Sha256(moreSections.data(), moreSections.size() - kSha256Size,
           moreSections.data() + moreSections.size() - 32);
    std::vector<uint8_t> hugeHeader = Craft(1, 0, base(0));
    hugeHeader[7] = 0x7F;
    Sha256(hugeHeader.data(), hugeHeader.size() - kSha256Size,
           hugeHeader.data() + hugeHeader.size() - 32);
    const Case cases[] = {
        {"a section twice", Craft(1, 0, twice), kIntegrityDamaged},
        {"no index digest", Craft(1, 0, missing), kIntegrityDamaged},
        {"a short digest", Craft(1, 0, shortDigest), kIntegrityDamaged},
        {"a count that disagrees with the length", Craft(1, 0, badCount), kIntegrityDamaged},
        {"an algorithm of five bytes", Craft(1, 0, badAlgorithmSize), kIntegrityDamaged},
        {"a size field that disagrees", Craft(1, 0, base(0), 16), kIntegrityDamaged},
        {"a section reaching past the end", pastEnd, kIntegrityDamaged},
        {"more sections than there are", moreSections, kIntegrityDamaged},
        {"a header past the end", hugeHeader, kIntegrityDamaged},
        {"bytes after the last section",
         [&] {
             auto s = base(0);
             std::vector<uint8_t> r2 = Craft(1, 0, s);
             r2.insert(r2.end() - kSha256Size, 0);
             StoreLE32(r2.data() + 16, (uint32_t)r2.size());
             Sha256(r2.data(), r2.size() - kSha256Size, r2.data() + r2.size() - 32);
             return r2;
         }(),
         kIntegrityDamaged},
        {"version 2", Craft(2, 0, base(0)), kIntegrityUnsupported},
        {"another hash algorithm", Craft(1, 0, otherAlgorithm), kIntegrityUnsupported},
    };
    for (const Case& k : cases)
        EXPECT_EQ(k.expect, ParseIntegrityRecord(k.record.data(), (uint32_t)k.record.size(), &r))
            << k.what;
}

TEST(PayloadIntegrity, IndexAndFeatureChecks) {
    const Contents c = SomeFiles();
    Opened o;
    Open(Build(c, 3, true, PAYLOAD_FEATURE_INTEGRITY), &o);
    IntegrityRecord r;
    const uint32_t size = (uint32_t)o.record.size();
    ASSERT_EQ(kIntegrityIntact, CheckIndexIntegrity(o.index, o.record.data(), size, &r))
        << "a known required feature";
    EXPECT_EQ((uint32_t)PAYLOAD_FEATURE_INTEGRITY, r.requiredFeatures);

    // Any change of the decoded index: the header copy, a time, a size, a name.
    const size_t spots[] = {kHeaderFlagsOffset, kArchiveHeaderSize + kEntryTimeOffset,
                            kArchiveHeaderSize + kArchiveEntrySize + kEntryDecodedSizeOffset,
                            kArchiveHeaderSize + 2 * kArchiveEntrySize};
    for (size_t at : spots) {
        o.index[at] ^= 1;
        EXPECT_EQ(kIntegrityIndexDamaged, CheckIndexIntegrity(o.index, o.record.data(), size, &r))
            << at;
        o.index[at] ^= 1;
    }

    // A feature this code does not know.
    Opened later;
    Open(Build(c, 3, true, 0x00000100), &later);
    EXPECT_EQ(kIntegrityUnknownFeature, CheckIndexIntegrity(later.index, later.record.data(),
                                                            (uint32_t)later.record.size(), &r));

    // An entry count that is not the index's.
    std::vector<uint8_t> index(o.index, o.index + kArchiveHeaderSize + 5 * kArchiveEntrySize);
    std::vector<uint8_t> wrong = Craft(1, 0,
                                       {{kTagAlgorithm, U32(kHashSha256)},
                                        {kTagIndexDigest, kDigest},
                                        {kTagEntryDigests, Digests(3)}});
    IndexDigest(index.data(), wrong.data() + kIntegrityHeaderSize + 12 + 8);
    Sha256(wrong.data(), wrong.size() - kSha256Size, wrong.data() + wrong.size() - kSha256Size);
    EXPECT_EQ(kIntegrityRecordDamaged,
              CheckIndexIntegrity(index.data(), wrong.data(), (uint32_t)wrong.size(), &r));

    // An entry's bytes that changed.
    ASSERT_EQ(kIntegrityIntact, CheckIndexIntegrity(o.index, o.record.data(), size, &r));
    std::vector<uint8_t> changed = c.bytes[2];
    changed[350] ^= 0x10;
    EXPECT_EQ(0, EntryDigestMatches(r, 2, changed.data(), (uint32_t)changed.size()));
    EXPECT_EQ(0, EntryDigestMatches(r, 3, c.bytes[2].data(), (uint32_t)c.bytes[2].size()))
        << "another entry's digest";
    EXPECT_EQ(0, EntryDigestMatches(r, 4, c.bytes[2].data(), (uint32_t)c.bytes[2].size()))
        << "past the covered entries";
}

} // namespace
