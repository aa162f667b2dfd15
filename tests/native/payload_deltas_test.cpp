// How a payload carries deltas: the delta entries' names, the descriptors of section 5 of the
// integrity record, the feature bit that comes with them, and the checks that refuse
// descriptors a reader could be misled by.
#include "archive/payload_deltas.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "archive/archive_index.h"
#include "archive/payload_integrity.h"
#include "payload/archive_writer.h"
#include "support/integrity_craft.h"

namespace {

const uint32_t kWithDeltas = PAYLOAD_FEATURE_INTEGRITY | PAYLOAD_FEATURE_DELTAS;

void* Alloc(size_t size) {
    return malloc(size ? size : 1);
}
void Free(void* p) {
    free(p);
}

std::string NameOf(uint32_t n) {
    char name[kDeltaEntryNameCapacity];
    memset(name, 0xCC, sizeof name);
    DeltaEntryName(n, name);
    return name;
}

struct Descriptor {
    uint32_t position;
    std::string target;
    uint64_t baseSize;
    uint64_t resultSize;
};

std::vector<uint8_t> Descriptors(const std::vector<Descriptor>& list) {
    std::vector<uint8_t> bytes(list.size() * kDeltaDescriptorSize);
    for (size_t i = 0; i < list.size(); ++i) {
        uint8_t base[kSha256Size], result[kSha256Size];
        memset(base, (int)(0x10 + i), sizeof base);
        memset(result, (int)(0x80 + i), sizeof result);
        const PayloadDelta d{list[i].position,
                             list[i].target.c_str(),
                             0x01D9000000000000ull + i,
                             list[i].baseSize,
                             base,
                             list[i].resultSize,
                             result};
        WriteDeltaDescriptor(d, bytes.data() + i * kDeltaDescriptorSize);
    }
    return bytes;
}

// GAME.DAT whole, then two delta entries of it; the record makes a fourth entry.
const std::vector<Descriptor> kTwoDeltas = {{1, "GAME.DAT", 3000, 4000},
                                            {2, "GAME.DAT", 2500, 4000}};

std::vector<uint8_t> BuildWith(const std::vector<uint8_t>& descriptors) {
    static const std::string bytes(500, 'd');
    std::vector<ArchiveInput> entries;
    for (const std::string& name : {std::string("GAME.DAT"), NameOf(0), NameOf(1)})
        entries.push_back(ArchiveInput{name, (const uint8_t*)bytes.data(), bytes.size(),
                                       0x01D9000000000000ull, true, true});
    ArchiveOptions options{kIndexCompressed | kIndexScrambled, kCompressFast, true};
    options.integrity = true;
    options.deltaDescriptors = descriptors;
    std::vector<uint8_t> image;
    std::string error;
    EXPECT_EQ(1, BuildArchiveWith(entries, options, &image, &error)) << error;
    return image;
}

// An opened image and its record's bytes.
struct Opened {
    uint8_t* index = nullptr;
    std::vector<uint8_t> record;
    ~Opened() { free(index); }
};

void Open(const std::vector<uint8_t>& image, Opened* o) {
    o->index = OpenArchiveImage(image.data(), (uint32_t)image.size(), Alloc, Free);
    ASSERT_NE(nullptr, o->index);
    uint32_t offset;
    const uint8_t* entry = FindIntegrityEntry(o->index, image.data(), &offset);
    ASSERT_NE(nullptr, entry);
    o->record.assign(image.data() + offset, image.data() + offset + EntryStoredSize(entry));
}

TEST(PayloadDeltas, EntryNames) {
    EXPECT_EQ("<QV2|DELTA|0>", NameOf(0));
    EXPECT_EQ("<QV2|DELTA|42>", NameOf(42));
    EXPECT_EQ("<QV2|DELTA|4294967295>", NameOf(UINT32_MAX));
    EXPECT_NE(NameOf(1), NameOf(10));
    for (uint32_t n : {0u, 9u, 10u, 123456u, UINT32_MAX})
        EXPECT_EQ(1, IsDeltaEntryName(NameOf(n).c_str())) << n;
    for (const char* name : {kIntegrityEntryName, "GAME.DAT", "", "<QV2|DELTA", "QV2|DELTA|0>",
                             "<QV2|DELTA>", " <QV2|DELTA|0>"})
        EXPECT_EQ(0, IsDeltaEntryName(name)) << name;
}

TEST(PayloadDeltas, DescriptorFieldsRoundTrip) {
    const std::string target(kEntryNameSize - 1, '\x82'); // the longest target there is
    uint8_t base[kSha256Size], result[kSha256Size];
    for (size_t i = 0; i < kSha256Size; ++i) {
        base[i] = (uint8_t)i;
        result[i] = (uint8_t)(255 - i);
    }
    const PayloadDelta in{0x01020304, target.c_str(), 0x1122334455667788ull, 0xFFFFFFFFFull, base,
                          UINT32_MAX, result};
    uint8_t bytes[kDeltaDescriptorSize];
    memset(bytes, 0xCC, sizeof bytes);
    WriteDeltaDescriptor(in, bytes);
    EXPECT_EQ(0x01020304u, LoadLE32(bytes));
    EXPECT_EQ(0, bytes[kDeltaTargetOffset + kEntryNameSize - 1]) << "the target ends in a NUL";
    EXPECT_EQ(0x1122334455667788ull, LoadLE64(bytes + kDeltaTimeOffset));
    PayloadDelta out;
    ReadDeltaDescriptor(bytes, 0, &out);
    EXPECT_EQ(in.entryPosition, out.entryPosition);
    EXPECT_EQ(target, out.target);
    EXPECT_EQ(in.time, out.time);
    EXPECT_EQ(in.baseSize, out.baseSize);
    EXPECT_EQ(in.resultSize, out.resultSize);
    EXPECT_EQ(0, memcmp(base, out.baseDigest, kSha256Size));
    EXPECT_EQ(0, memcmp(result, out.resultDigest, kSha256Size));
}

TEST(PayloadDeltas, RecordsWithDescriptorsRoundTrip) {
    const std::vector<uint8_t> descriptors = Descriptors(kTwoDeltas);
    Opened o;
    Open(BuildWith(descriptors), &o);
    EXPECT_EQ(IntegrityRecordSize(3, true, 2), o.record.size());
    IntegrityRecord r;
    ASSERT_EQ(kIntegrityParsed,
              ParseIntegrityRecord(o.record.data(), (uint32_t)o.record.size(), &r));
    EXPECT_EQ((uint32_t)PAYLOAD_FEATURE_DELTAS, r.requiredFeatures) << "set by the writer";
    ASSERT_EQ(2u, r.deltaCount);
    EXPECT_EQ(0, memcmp(descriptors.data(), r.deltas, descriptors.size()));
    ASSERT_EQ(kIntegrityIntact, CheckIndexIntegrity(o.index, o.record.data(),
                                                    (uint32_t)o.record.size(), &r, kWithDeltas));
    PayloadDelta d;
    ReadDeltaDescriptor(r.deltas, 1, &d);
    EXPECT_EQ(2u, d.entryPosition);
    EXPECT_STREQ("GAME.DAT", d.target);
    EXPECT_EQ(2500u, d.baseSize);
    // A reader that does not declare deltas refuses the payload.
    EXPECT_EQ((kKnownPayloadFeatures & PAYLOAD_FEATURE_DELTAS) ? kIntegrityIntact
                                                               : kIntegrityUnknownFeature,
              CheckIndexIntegrity(o.index, o.record.data(), (uint32_t)o.record.size(), &r));

    // Without descriptors: no section, no bit, and the record of before.
    Opened plain;
    Open(BuildWith({}), &plain);
    EXPECT_EQ(IntegrityRecordSize(3, true), plain.record.size());
    ASSERT_EQ(kIntegrityIntact, CheckIndexIntegrity(plain.index, plain.record.data(),
                                                    (uint32_t)plain.record.size(), &r));
    EXPECT_EQ(0u, r.requiredFeatures);
    EXPECT_EQ(0u, r.deltaCount);
    EXPECT_EQ(nullptr, r.deltas);
}

TEST(PayloadDeltas, SectionAndFeatureBitComeTogether) {
    const std::vector<uint8_t> one = Descriptors({{1, "GAME.DAT", 10, 20}});
    const auto with = [&](std::vector<uint8_t> body) {
        auto sections = RequiredSections(2);
        sections.push_back({kTagDeltas, body});
        return sections;
    };
    std::vector<uint8_t> body = U32(1);
    body.insert(body.end(), one.begin(), one.end());
    IntegrityRecord r;
    std::vector<uint8_t> rec = Craft(1, PAYLOAD_FEATURE_DELTAS, with(body));
    ASSERT_EQ(kIntegrityParsed, ParseIntegrityRecord(rec.data(), (uint32_t)rec.size(), &r));
    EXPECT_EQ(1u, r.deltaCount);

    std::vector<uint8_t> twoCounted = body;
    StoreLE32(twoCounted.data(), 2);
    std::vector<uint8_t> noneCounted = U32(0);
    std::vector<uint8_t> oddLength = body;
    oddLength.push_back(0);
    auto twice = with(body);
    twice.push_back({kTagDeltas, body});
    // Samples: one pair per descriptor, and only beside descriptors.
    std::vector<uint8_t> pair = U32(1);
    pair.resize(4 + kDeltaSampleSize, 0x5a);
    std::vector<uint8_t> twoPairs = U32(2);
    twoPairs.resize(4 + 2 * kDeltaSampleSize, 0x5a);
    auto sampled = with(body), overSampled = with(body), samplesAlone = RequiredSections(2);
    sampled.push_back({kTagDeltaSamples, pair});
    overSampled.push_back({kTagDeltaSamples, twoPairs});
    samplesAlone.push_back({kTagDeltaSamples, pair});
    rec = Craft(1, PAYLOAD_FEATURE_DELTAS, sampled);
    ASSERT_EQ(kIntegrityParsed, ParseIntegrityRecord(rec.data(), (uint32_t)rec.size(), &r));
    ASSERT_NE(nullptr, r.deltaSamples);
    EXPECT_EQ(0x5a, r.deltaSamples[kDeltaSampleSize - 1]);
    struct Case {
        const char* what;
        std::vector<uint8_t> record;
    } cases[] = {
        {"a deltas section without the feature bit", Craft(1, 0, with(body))},
        {"the feature bit without a deltas section",
         Craft(1, PAYLOAD_FEATURE_DELTAS, RequiredSections(2))},
        {"a count above the descriptors there are",
         Craft(1, PAYLOAD_FEATURE_DELTAS, with(twoCounted))},
        {"a section of no descriptors", Craft(1, PAYLOAD_FEATURE_DELTAS, with(noneCounted))},
        {"a length that is no whole number of descriptors",
         Craft(1, PAYLOAD_FEATURE_DELTAS, with(oddLength))},
        {"the section twice", Craft(1, PAYLOAD_FEATURE_DELTAS, twice)},
        {"more sample pairs than descriptors", Craft(1, PAYLOAD_FEATURE_DELTAS, overSampled)},
        {"samples without descriptors", Craft(1, 0, samplesAlone)},
    };
    for (const Case& c : cases)
        EXPECT_EQ(kIntegrityDamaged,
                  ParseIntegrityRecord(c.record.data(), (uint32_t)c.record.size(), &r))
            << c.what;

    // The writer never makes either: the bit asked for without descriptors stays off.
    Opened o;
    Open(BuildWith({}), &o);
    EXPECT_EQ(0u, LoadLE32(o.record.data() + 8) & PAYLOAD_FEATURE_DELTAS);
}

TEST(PayloadDeltas, InvalidDescriptorsAreRefused) {
    struct Case {
        const char* what;
        std::vector<Descriptor> list;
        int valid;
    };
    const Case cases[] = {
        {"two deltas", kTwoDeltas, 1},
        {"a result of 4 GiB - 1", {{1, "GAME.DAT", 1, UINT32_MAX}}, 1},
        {"a target no entry has", {{2, "OTHER.DAT", 1, 1}}, 1},
        {"a position past the last entry", {{9, "GAME.DAT", 1, 1}}, 0},
        {"the record itself", {{3, "GAME.DAT", 1, 1}}, 0},
        {"an entry that is no delta", {{0, "GAME.DAT", 1, 1}}, 0},
        {"positions that repeat", {{1, "GAME.DAT", 1, 1}, {1, "GAME.DAT", 2, 1}}, 0},
        {"positions that fall", {{2, "GAME.DAT", 1, 1}, {1, "GAME.DAT", 2, 1}}, 0},
        {"an empty target", {{1, "", 1, 1}}, 0},
        {"a reserved target", {{1, kIntegrityEntryName, 1, 1}}, 0},
        {"a target of a delta's name", {{1, "<QV2|DELTA|1>", 1, 1}}, 0},
        {"a result over 4 GiB - 1", {{1, "GAME.DAT", 1, (uint64_t)UINT32_MAX + 1}}, 0},
    };
    for (const Case& c : cases) {
        const std::vector<uint8_t> descriptors = Descriptors(c.list);
        Opened o;
        Open(BuildWith(descriptors), &o);
        EXPECT_EQ(c.valid,
                  DeltaDescriptorsValid(descriptors.data(), (uint32_t)c.list.size(), o.index))
            << c.what;
        IntegrityRecord r;
        EXPECT_EQ(c.valid ? kIntegrityIntact : kIntegrityRecordDamaged,
                  CheckIndexIntegrity(o.index, o.record.data(), (uint32_t)o.record.size(), &r,
                                      kWithDeltas))
            << c.what;
    }

    // A target that fills its field without a NUL: the writer cannot make one, so it is set by
    // hand.
    std::vector<uint8_t> descriptors = Descriptors({{1, "GAME.DAT", 1, 1}});
    memset(descriptors.data() + kDeltaTargetOffset, 'A', kEntryNameSize);
    Opened o;
    Open(BuildWith(descriptors), &o);
    EXPECT_EQ(0, DeltaDescriptorsValid(descriptors.data(), 1, o.index));
    IntegrityRecord r;
    EXPECT_EQ(
        kIntegrityRecordDamaged,
        CheckIndexIntegrity(o.index, o.record.data(), (uint32_t)o.record.size(), &r, kWithDeltas));
    // Descriptors for an index of no entries at all.
    const uint8_t empty[kArchiveHeaderSize] = {};
    EXPECT_EQ(0, DeltaDescriptorsValid(descriptors.data(), 1, empty));
    EXPECT_EQ(1, DeltaDescriptorsValid(descriptors.data(), 0, empty));
}

TEST(PayloadDeltas, WriterRefusesPartsOfDescriptors) {
    const std::string bytes = "x";
    ArchiveOptions options{3, kCompressFast, true};
    options.integrity = true;
    options.deltaDescriptors.assign(kDeltaDescriptorSize - 1, 0);
    std::vector<uint8_t> image;
    std::string error;
    EXPECT_EQ(
        0, BuildArchiveWith({ArchiveInput{"A.DAT", (const uint8_t*)bytes.data(), 1, 0, true, true}},
                            options, &image, &error));
    options.deltaDescriptors = Descriptors({{0, "A.DAT", 1, 1}});
    options.integrity = false;
    EXPECT_EQ(
        0, BuildArchiveWith({ArchiveInput{"A.DAT", (const uint8_t*)bytes.data(), 1, 0, true, true}},
                            options, &image, &error))
        << "descriptors travel in the integrity record";
}

} // namespace
