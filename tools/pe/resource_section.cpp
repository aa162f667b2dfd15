#include "pe/resource_section.h"

#include <algorithm>

#include "archive/archive_format.h"
#include "pe/pe_file.h"

namespace {

int Refuse(std::string* error, const std::string& why) {
    *error = why;
    return 0;
}

uint64_t AlignUp(uint64_t v, uint32_t to) {
    return (v + to - 1) & ~(uint64_t)(to - 1);
}

// Every header field the rebuild writes goes through here: a stub whose fields point outside the
// new image is refused rather than written past its end.
int Put32(std::vector<uint8_t>* image, uint64_t offset, uint32_t value, std::string* error) {
    if (offset + 4 > image->size())
        return Refuse(error, "a header field of the stub lies outside the rebuilt image");
    StoreLE32(image->data() + offset, value);
    return 1;
}

bool IsPayload(const Resource& r) {
    return SameKey(r.type, ResourceName("UPDATE")) &&
           SameKey(r.name, ResourceId(kPayloadResourceId));
}

// The resource section of a parsed image, checked to be one that can be rebuilt in place.
int LocateResourceSection(const PeLayout& pe, const PeSection** found, std::string* error) {
    if (pe.directories.size() <= kResourceDirectory || !pe.directories[kResourceDirectory].rva)
        return Refuse(error, "the executable has no resources");
    const uint32_t rva = pe.directories[kResourceDirectory].rva;
    const PeSection* s = SectionAt(pe, rva);
    if (!s)
        return Refuse(error, "the resource directory lies in no section");
    if (rva != s->virtualAddress)
        return Refuse(error, "the resources do not begin their section");
    *found = s;
    return 1;
}

} // namespace

int ReadPeResources(const std::vector<uint8_t>& file, bool copyData,
                    std::vector<Resource>* resources, std::string* error) {
    return ReadPeResources(file.data(), file.size(), copyData, resources, error);
}

int ReadPeResources(const uint8_t* file, uint64_t size, bool copyData,
                    std::vector<Resource>* resources, std::string* error) {
    PeLayout pe;
    const PeSection* s;
    if (!ParsePe(file, size, &pe, error) || !LocateResourceSection(pe, &s, error))
        return 0;
    // Only bytes present in the file are read; a section's zero-filled tail is not resources.
    const uint32_t extent = std::min(s->virtualSize ? s->virtualSize : s->rawSize, s->rawSize);
    if (!ReadResourceTree(file + s->rawPointer, extent, s->virtualAddress, copyData, resources,
                          error))
        return 0;
    for (Resource& r : *resources)
        r.dataOffset += s->rawPointer;
    return 1;
}

int RebuildResourceSection(const std::vector<uint8_t>& stub, const std::vector<Resource>& resources,
                           std::vector<uint8_t>* out, std::string* error) {
    std::vector<OutputPart> parts;
    if (!RebuildResourceSection(stub, resources, &parts, error))
        return 0;
    *out = JoinParts(parts);
    return 1;
}

int RebuildResourceSection(const std::vector<uint8_t>& stub, const std::vector<Resource>& resources,
                           std::vector<OutputPart>* out, std::string* error) {
    PeLayout pe;
    const PeSection* s;
    if (!ParsePe(stub, &pe, error) || !LocateResourceSection(pe, &s, error))
        return 0;
    if (s != &pe.sections.back())
        return Refuse(error, "the resource section of the stub is not its last section "
                             "(link it with .rsrc last)");
    // Everything in front of the section is kept and the section is written anew: headers,
    // the section table or another section's bytes inside its raw range would be overwritten
    // or cut off.
    const uint64_t headersEnd = (uint64_t)s->headerOffset + kPeSectionHeaderSize;
    if (headersEnd > s->rawPointer)
        return Refuse(error, "the resource section of the stub overlaps its headers");
    for (const PeSection& other : pe.sections)
        if (&other != s &&
            (other.virtualAddress >= s->virtualAddress || other.rawPointer > s->rawPointer))
            return Refuse(error, "section " + other.name +
                                     " lies behind the resource section of the stub");
        else if (&other != s && other.rawSize &&
                 (uint64_t)other.rawPointer + other.rawSize > s->rawPointer)
            return Refuse(error,
                          "section " + other.name + " overlaps the resource section of the stub");
    for (size_t i = 0; i < pe.directories.size(); ++i)
        if (i != kResourceDirectory && pe.directories[i].size &&
            pe.directories[i].rva >= s->virtualAddress && i != kCertificateDirectory)
            return Refuse(error, "the stub keeps other tables inside its resource section");
    if (pe.directories.size() > kCertificateDirectory && pe.directories[kCertificateDirectory].size)
        return Refuse(error, "the stub is signed; sign the built program instead");
    if (pe.symbolTable)
        return Refuse(error, "the stub carries symbols after its sections; strip it");
    // The linker may pad the file to its alignment past a last section's recorded size.
    const uint64_t end = (uint64_t)s->rawPointer + s->rawSize;
    bool onlyPadding = stub.size() <= AlignUp(end, pe.fileAlignment);
    for (uint64_t i = end; onlyPadding && i < stub.size(); ++i)
        onlyPadding = stub[(size_t)i] == 0;
    if (!onlyPadding)
        return Refuse(error, "the stub has bytes after its last section that would be lost");

    std::vector<OutputPart> section = LayOutResourceTree(resources, s->virtualAddress);
    uint64_t sectionSize = 0;
    for (const OutputPart& part : section)
        sectionSize += part.size();
    const uint64_t rawSize = AlignUp(sectionSize, pe.fileAlignment);
    const uint64_t imageSize =
        AlignUp((uint64_t)s->virtualAddress + sectionSize, pe.sectionAlignment);
    if (s->rawPointer + rawSize > UINT32_MAX || imageSize > UINT32_MAX)
        return Refuse(error, "the program would be larger than 4 GiB");

    // The headers, changed in place; every field they hold lies in front of the section.
    std::vector<uint8_t> image(stub.begin(), stub.begin() + s->rawPointer);
    if (!Put32(&image, (uint64_t)s->headerOffset + 8, (uint32_t)sectionSize, error) ||
        !Put32(&image, (uint64_t)s->headerOffset + 16, (uint32_t)rawSize, error) ||
        !Put32(&image, pe.sizeOfImageOffset, (uint32_t)imageSize, error))
        return 0;
    if (s->characteristics & kSectionInitializedData) {
        if (pe.initializedDataOffset + 4ull > image.size())
            return Refuse(error, "a header field of the stub lies outside the rebuilt image");
        const int64_t total = (int64_t)LoadLE32(image.data() + pe.initializedDataOffset) -
                              s->rawSize + (int64_t)rawSize;
        if (!Put32(&image, pe.initializedDataOffset,
                   (uint32_t)std::max<int64_t>(0, std::min<int64_t>(total, UINT32_MAX)), error))
            return 0;
    }
    if (!Put32(&image, pe.directoryOffset + kResourceDirectory * 8ull + 4, (uint32_t)sectionSize,
               error) ||
        !Put32(&image, pe.checksumOffset, 0, error))
        return 0;
    std::vector<OutputPart> parts(1);
    parts[0].own.swap(image);
    for (OutputPart& part : section)
        parts.push_back(std::move(part));
    if (rawSize > sectionSize) {
        parts.emplace_back();
        parts.back().own.assign((size_t)(rawSize - sectionSize), 0);
    }
    PeChecksumSum sum(pe.checksumOffset);
    for (const OutputPart& part : parts)
        sum.Update(part.data(), part.size());
    StoreLE32(parts[0].own.data() + pe.checksumOffset, sum.Final());
    out->swap(parts);
    return 1;
}

void SetPayloadResource(std::vector<Resource>* resources, const uint8_t* payload, size_t size) {
    // Every language goes: the loader might otherwise pick a stale one for another locale.
    resources->erase(std::remove_if(resources->begin(), resources->end(), IsPayload),
                     resources->end());
    resources->push_back(Resource{ResourceName("UPDATE"),
                                  ResourceId(kPayloadResourceId),
                                  kPayloadLanguage,
                                  0,
                                  {},
                                  0,
                                  (uint32_t)size,
                                  payload});
}

const Resource* FindPayloadResource(const std::vector<Resource>& resources) {
    const Resource* any = nullptr;
    for (const Resource& r : resources)
        if (IsPayload(r)) {
            if (r.language == kPayloadLanguage)
                return &r;
            if (!any)
                any = &r;
        }
    return any;
}
