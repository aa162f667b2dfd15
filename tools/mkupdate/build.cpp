#include "mkupdate/build.h"
#include "mkupdate/index_memory.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "archive/archive_index.h"
#include "archive/payload_integrity.h"
#include "mkupdate/host_files.h"
#include "pe/pe_signature.h"
#include "pe/resource_section.h"

namespace {

std::string Hex32(uint32_t v) {
    char text[16];
    snprintf(text, sizeof text, "0x%08X", v);
    return text;
}

} // namespace

std::string DescribeFeatures(uint32_t features) {
    static const struct {
        uint32_t bit;
        const char* name;
    } kNames[] = {{PAYLOAD_FEATURE_INTEGRITY, "integrity"},
                  {PAYLOAD_FEATURE_DELTAS, "deltas"},
                  {PAYLOAD_FEATURE_LARGE, "large"},
                  {PAYLOAD_FEATURE_FOLDER_NAMES, "folder names"},
                  {PAYLOAD_FEATURE_DELETIONS, "deletions"},
                  {PAYLOAD_FEATURE_LONG_LISTS, "long lists"},
                  {PAYLOAD_FEATURE_MODELED_DELTAS, "modeled deltas"},
                  {PAYLOAD_FEATURE_NEW_FOLDERS, "new folders"}};
    std::string names;
    for (const auto& n : kNames)
        if (features & n.bit)
            names += (names.empty() ? "" : ", ") + std::string(n.name);
    uint32_t named = 0;
    for (const auto& n : kNames)
        named |= n.bit;
    const uint32_t unknown = features & ~named;
    if (unknown)
        names += (names.empty() ? "" : ", ") + std::string("unknown ") + Hex32(unknown);
    return Hex32(features) + " (" + (names.empty() ? std::string("none") : names) + ")";
}

int StubPayloadFeatures(const std::vector<Resource>& resources, uint32_t* features,
                        std::string* error) {
    *features = 0;
    for (const Resource& r : resources) {
        if (!SameKey(r.type, ResourceName("PAYLOADFEATURES")) ||
            !SameKey(r.name, ResourceId(PAYLOAD_FEATURES_RESOURCE_ID)))
            continue;
        if (r.data.size() < 8 || memcmp(r.data.data(), "QVFT", 4) != 0) {
            *error = "its payload feature declaration (PAYLOADFEATURES 1) is malformed";
            return 0;
        }
        *features = LoadLE32(r.data.data() + 4);
        return 1;
    }
    return 1;
}

int PayloadRequiredFeatures(const std::vector<uint8_t>& payload, uint32_t* features,
                            std::string* error) {
    *features = 0;
    uint8_t* index =
        OpenArchiveImage(payload.data(), (uint32_t)payload.size(), AllocBlock, FreeBlock);
    if (!index) {
        *error = "the payload's index is damaged";
        return 0;
    }
    uint32_t offset;
    const uint8_t* rec = FindIntegrityEntry(index, payload.data(), &offset);
    int ok = 1;
    if (rec) {
        const uint8_t* bytes;
        uint8_t* block = nullptr;
        IntegrityRecord record;
        ok = DecodeEntry(rec, payload.data() + offset, AllocBlock, FreeBlock, &bytes, &block) ==
                 kEntryDecoded &&
             ParseIntegrityRecord(bytes, EntryDecodedSize(rec), &record) == kIntegrityParsed;
        if (ok)
            *features = record.requiredFeatures;
        else
            *error = "the payload's integrity record is damaged or of an unknown version";
        free(block);
    }
    free(index);
    return ok;
}

std::filesystem::path DefaultStub() {
    std::error_code ec;
#ifdef _WIN32
    std::wstring self(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, &self[0], (DWORD)self.size());
    self.resize(n);
    const std::filesystem::path exe(self);
#else
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
#endif
    return exe.parent_path() / "UPDATE.exe";
}

int EmbedPayload(const std::filesystem::path& stub, const std::vector<uint8_t>& payload,
                 const std::filesystem::path& output, std::string* error, bool* droppedSignature) {
    std::vector<uint8_t> image;
    std::vector<OutputPart> built;
    std::vector<Resource> resources;
    if (!ReadHostFile(stub, &image, error))
        return 0;
    bool dropped = false;
    if (!DropCertificateTable(&image, &dropped, error)) {
        *error = "stub " + Printable(stub) + ": " + *error;
        return 0;
    }
    if (droppedSignature)
        *droppedSignature = dropped;
    if (!ReadPeResources(image, true, &resources, error)) {
        *error = "stub " + Printable(stub) + ": " + *error;
        return 0;
    }
    uint32_t supported, required;
    if (!StubPayloadFeatures(resources, &supported, error)) {
        *error = "stub " + Printable(stub) + ": " + *error;
        return 0;
    }
    if (!PayloadRequiredFeatures(payload, &required, error))
        return 0;
    if (required & ~supported) {
        *error = "stub " + Printable(stub) + " cannot read this payload: it requires features " +
                 DescribeFeatures(required) + " and the stub reads only " +
                 DescribeFeatures(supported);
        if (required & ~supported & PAYLOAD_FEATURE_LARGE)
            *error += "; the payload has files stored in chunks or volumes, which this stub "
                      "cannot read: give --stub an UPDATE.exe that reads large payloads";
        else if (required & ~supported & PAYLOAD_FEATURE_DELTAS)
            *error += "; the payload carries deltas, which this stub cannot apply: give --stub an "
                      "UPDATE.exe that applies deltas, or build without --base";
        else if (required & ~supported & PAYLOAD_FEATURE_MODELED_DELTAS)
            *error += "; the payload's deltas hold modeled streams, which this stub cannot "
                      "apply: give --stub the UPDATE.exe of this version of the project, or build "
                      "without --base";
        else
            *error += "; give --stub the UPDATE.exe of this version of the project";
        return 0;
    }
    // The payload is written from where it lies, never copied into the rebuilt program.
    SetPayloadResource(&resources, payload.data(), payload.size());
    if (!RebuildResourceSection(image, resources, &built, error)) {
        *error = "stub " + Printable(stub) + ": " + *error;
        return 0;
    }
    std::vector<uint8_t>().swap(image);
    HostFileWriter out;
    if (!out.Open(output, error))
        return 0;
    for (const OutputPart& part : built)
        out.Write(part.data(), part.size());
    return out.Commit(nullptr, error);
}
