#include "pe/resource_section.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "archive/archive_format.h"
#include "pe/pe_file.h"

// Executables linked by the build from fixtures/: the same program and resources, once with
// .rsrc as the last section and once with .reloc after it.
#ifndef FIXTURE_RSRC_LAST
#error the build passes the fixture paths
#endif

namespace {

std::vector<uint8_t> ReadFixture(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
}

std::string Describe(const Resource& r) {
    const auto key = [](const ResourceKey& k) {
        return k.named ? std::string(k.name.begin(), k.name.end()) : std::to_string(k.id);
    };
    return key(r.type) + "/" + key(r.name) + "/" + std::to_string(r.language) + " (" +
           std::to_string(r.data.size()) + " bytes)";
}

void ExpectSameResources(const std::vector<Resource>& a, const std::vector<Resource>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) {
        EXPECT_TRUE(SameKey(a[i].type, b[i].type)) << Describe(a[i]) << " vs " << Describe(b[i]);
        EXPECT_TRUE(SameKey(a[i].name, b[i].name)) << Describe(a[i]) << " vs " << Describe(b[i]);
        EXPECT_EQ(a[i].language, b[i].language) << Describe(a[i]);
        EXPECT_EQ(a[i].codePage, b[i].codePage) << Describe(a[i]);
        EXPECT_TRUE(a[i].data == b[i].data) << Describe(a[i]);
    }
}

const Resource* Find(const std::vector<Resource>& list, const ResourceKey& type,
                     const ResourceKey& name, uint16_t language) {
    for (const Resource& r : list)
        if (SameKey(r.type, type) && SameKey(r.name, name) && r.language == language)
            return &r;
    return nullptr;
}

std::string Text(const Resource* r) {
    return r ? std::string(r->data.begin(), r->data.end()) : "(missing)";
}

TEST(PeResources, ReadsEveryKindOfKey) {
    std::vector<Resource> list;
    std::string error;
    ASSERT_EQ(1, ReadPeResources(ReadFixture(FIXTURE_RSRC_LAST), true, &list, &error)) << error;
    const ResourceKey rcdata = ResourceId(10);
    EXPECT_EQ(std::string("neutral rcdata"), Text(Find(list, rcdata, ResourceId(1), 0)));
    EXPECT_EQ(std::string("english rcdata"), Text(Find(list, rcdata, ResourceId(1), 0x409)));
    EXPECT_EQ(std::string("japanese rcdata"), Text(Find(list, rcdata, ResourceId(1), 0x411)));
    EXPECT_EQ(std::string("named rcdata"), Text(Find(list, rcdata, ResourceName("NAMEDDATA"), 0)));
    EXPECT_EQ(std::string("custom type, named"),
              Text(Find(list, ResourceName("CUSTOMTYPE"), ResourceName("ALPHA"), 0)));
    EXPECT_EQ(std::string("custom type, id name"),
              Text(Find(list, ResourceName("CUSTOMTYPE"), ResourceId(7), 0)));
    EXPECT_EQ("payload bytes\n", Text(FindPayloadResource(list)));
    EXPECT_NE(nullptr, Find(list, ResourceId(6), ResourceId(1), 0)) << "the string table";
    EXPECT_EQ(8u, list.size());
}

TEST(PeResources, ChecksumMatchesTheLinkers) {
    const std::vector<uint8_t> file = ReadFixture(FIXTURE_RSRC_LAST);
    PeLayout pe;
    std::string error;
    ASSERT_EQ(1, ParsePe(file, &pe, &error)) << error;
    const uint32_t stored = LoadLE32(file.data() + pe.checksumOffset);
    ASSERT_NE(0u, stored) << "the fixture's linker writes a checksum";
    EXPECT_EQ(stored, PeChecksum(file, pe.checksumOffset));
}

TEST(PeResources, UnchangedRebuildKeepsTheImage) {
    const std::vector<uint8_t> stub = ReadFixture(FIXTURE_RSRC_LAST);
    std::vector<Resource> before, after;
    std::vector<uint8_t> rebuilt;
    std::string error;
    ASSERT_EQ(1, ReadPeResources(stub, true, &before, &error)) << error;
    ASSERT_EQ(1, RebuildResourceSection(stub, before, &rebuilt, &error)) << error;
    ASSERT_EQ(1, ReadPeResources(rebuilt, true, &after, &error)) << error;
    ExpectSameResources(before, after);
    // Everything in front of the resource section is the same, header fields included: the
    // section keeps its size class and the checksum is recomputed over equal meaning.
    PeLayout pe;
    ASSERT_EQ(1, ParsePe(stub, &pe, &error)) << error;
    const PeSection& rsrc = pe.sections.back();
    ASSERT_EQ(stub.size(), rebuilt.size());
    for (size_t i = 0; i < rsrc.rawPointer; ++i) {
        const bool sizeField = (i >= rsrc.headerOffset + 8 && i < rsrc.headerOffset + 12) ||
                               (i >= pe.directoryOffset + kResourceDirectory * 8 + 4 &&
                                i < pe.directoryOffset + kResourceDirectory * 8 + 8) ||
                               (i >= pe.checksumOffset && i < pe.checksumOffset + 4);
        if (!sizeField) {
            ASSERT_EQ(stub[i], rebuilt[i]) << "header byte " << i;
        }
    }
    EXPECT_EQ(PeChecksum(rebuilt, pe.checksumOffset), LoadLE32(rebuilt.data() + pe.checksumOffset));
}

TEST(PeResources, ReplacesThePayloadAndKeepsTheRest) {
    const std::vector<uint8_t> stub = ReadFixture(FIXTURE_RSRC_LAST);
    std::vector<Resource> before, after;
    std::string error;
    ASSERT_EQ(1, ReadPeResources(stub, true, &before, &error)) << error;
    // Big enough to move the image size across several section alignments.
    std::vector<uint8_t> payload(100000);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = (uint8_t)(i * 7 + 3);
    std::vector<Resource> edited = before;
    // A stale payload in another language must not survive beside the new one.
    edited.push_back(Resource{ResourceName("UPDATE"), ResourceId(kPayloadResourceId), 0x409, 0,
                              std::vector<uint8_t>(5, 'x'), 0, 5});
    SetPayloadResource(&edited, payload);
    std::vector<uint8_t> built;
    ASSERT_EQ(1, RebuildResourceSection(stub, edited, &built, &error)) << error;
    ASSERT_EQ(1, ReadPeResources(built, true, &after, &error)) << error;
    ASSERT_EQ(before.size(), after.size());
    for (size_t i = 0; i < before.size(); ++i) {
        if (SameKey(before[i].type, ResourceName("UPDATE"))) {
            EXPECT_EQ(kPayloadLanguage, after[i].language);
            EXPECT_TRUE(after[i].data == payload);
        } else {
            EXPECT_TRUE(before[i].data == after[i].data) << Describe(before[i]);
        }
    }
    PeLayout pe;
    ASSERT_EQ(1, ParsePe(built, &pe, &error)) << error;
    const PeSection& rsrc = pe.sections.back();
    EXPECT_GE(rsrc.virtualSize, payload.size());
    EXPECT_EQ(0u, rsrc.rawSize % pe.fileAlignment);
    EXPECT_EQ(built.size(), (size_t)rsrc.rawPointer + rsrc.rawSize);
    const uint32_t imageSize = LoadLE32(built.data() + pe.sizeOfImageOffset);
    EXPECT_EQ(0u, imageSize % pe.sectionAlignment);
    EXPECT_GE(imageSize, rsrc.virtualAddress + rsrc.virtualSize);
    EXPECT_LT(imageSize, rsrc.virtualAddress + rsrc.virtualSize + pe.sectionAlignment);
    EXPECT_EQ(rsrc.virtualSize, pe.directories[kResourceDirectory].size);
    EXPECT_EQ(PeChecksum(built, pe.checksumOffset), LoadLE32(built.data() + pe.checksumOffset));
}

TEST(PeResources, RefusesStubsItCannotRebuild) {
    std::vector<Resource> list;
    std::vector<uint8_t> out;
    std::string error;
    const std::vector<uint8_t> notLast = ReadFixture(FIXTURE_RSRC_NOT_LAST);
    ASSERT_EQ(1, ReadPeResources(notLast, true, &list, &error))
        << "it can still be read: " << error;
    EXPECT_EQ(0, RebuildResourceSection(notLast, list, &out, &error));
    EXPECT_NE(std::string::npos, error.find("not its last section")) << error;

    const std::vector<uint8_t> stub = ReadFixture(FIXTURE_RSRC_LAST);
    ASSERT_EQ(1, ReadPeResources(stub, true, &list, &error)) << error;
    std::vector<uint8_t> overlay = stub;
    overlay.push_back(0);
    EXPECT_EQ(0, RebuildResourceSection(overlay, list, &out, &error));
    EXPECT_NE(std::string::npos, error.find("after its last section")) << error;

    PeLayout pe;
    ASSERT_EQ(1, ParsePe(stub, &pe, &error)) << error;
    std::vector<uint8_t> signedStub = stub;
    StoreLE32(signedStub.data() + pe.directoryOffset + kCertificateDirectory * 8 + 4, 16);
    EXPECT_EQ(0, RebuildResourceSection(signedStub, list, &out, &error));
    EXPECT_NE(std::string::npos, error.find("signed")) << error;
}

TEST(PeResources, RefusesAResourceSectionOverHeadersOrSections) {
    // The rebuild keeps the bytes in front of the resource section and writes header fields
    // into them; a section whose raw data begins inside the headers, the section table or
    // another section must be refused, not written over (or past the end of a short image).
    const std::vector<uint8_t> stub = ReadFixture(FIXTURE_RSRC_LAST);
    PeLayout pe;
    std::string error;
    ASSERT_EQ(1, ParsePe(stub, &pe, &error)) << error;
    std::vector<Resource> list;
    ASSERT_EQ(1, ReadPeResources(stub, true, &list, &error)) << error;
    const PeSection& rsrc = pe.sections.back();
    const PeSection& before = pe.sections[pe.sections.size() - 2];
    struct Case {
        const char* what;
        uint32_t rawPointer;
        const char* expect;
    };
    const Case cases[] = {
        {"raw data at offset 0", 0, "overlaps its headers"},
        {"raw data at the PE signature", LoadLE32(stub.data() + 60), "overlaps its headers"},
        {"raw data inside its own section table entry", rsrc.headerOffset + 20,
         "overlaps its headers"},
        {"raw data right after the table, inside the previous section",
         before.rawPointer + before.rawSize - 16, "overlaps the resource section"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bad = stub;
        StoreLE32(bad.data() + rsrc.headerOffset + 20, c.rawPointer);
        std::vector<uint8_t> out;
        EXPECT_EQ(0, RebuildResourceSection(bad, list, &out, &error)) << c.what;
        EXPECT_NE(std::string::npos, error.find(c.expect)) << c.what << ": " << error;
        EXPECT_TRUE(out.empty()) << c.what;
    }
}

TEST(PeResources, EveryCutOfTheFileIsRefused) {
    // Copies of exactly the cut size, so that ASan sees any read past the end.
    const std::vector<uint8_t> stub = ReadFixture(FIXTURE_RSRC_LAST);
    std::vector<Resource> list;
    std::vector<uint8_t> out;
    std::string error;
    for (size_t cut = 0; cut < stub.size(); cut += cut < 1024 ? 1 : 61) {
        const std::vector<uint8_t> part(stub.begin(), stub.begin() + cut);
        EXPECT_EQ(0, RebuildResourceSection(part, list, &out, &error)) << "cut at " << cut;
        ReadPeResources(part, true, &list, &error);
    }
}

TEST(PeResources, DamagedTreesAreRefusedNotFollowed) {
    const std::vector<uint8_t> stub = ReadFixture(FIXTURE_RSRC_LAST);
    PeLayout pe;
    std::string error;
    ASSERT_EQ(1, ParsePe(stub, &pe, &error)) << error;
    const uint32_t at = pe.sections.back().rawPointer;
    struct Case {
        const char* what;
        uint32_t offset; // inside the section
        uint32_t value;
    };
    const Case cases[] = {
        {"a root directory with more entries than fit", 12, 0xFFFFFFFFu},
        {"a type directory pointing outside", 16 + 4, 0x80FFFFF0u},
        {"a type entry pointing back at the root", 16 + 4, 0x80000000u},
        {"a name string outside", 16, 0x8FFFFFF0u},
        {"a type entry that is a leaf", 16 + 4, 0x00000010u},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bad = stub;
        StoreLE32(bad.data() + at + c.offset, c.value);
        std::vector<Resource> list;
        EXPECT_EQ(0, ReadPeResources(bad, true, &list, &error)) << c.what;
        EXPECT_NE(std::string::npos, error.find("damaged")) << c.what << ": " << error;
    }
}

} // namespace
