// The resource section reader and rebuilder on arbitrary files: they must refuse what they
// cannot read without stepping outside the file, and what they rebuild must read back the same.
// The rebuild is also tried with resources of its own on files whose tree does not read, so that
// stubs whose section lies over their headers or other sections are refused, never written
// over or past.
#include <stdlib.h>

#include <string>
#include <vector>

#include "mkupdate/payload_file.h"
#include "pe/pe_file.h"
#include "pe/resource_section.h"

namespace {

// A rebuilt image keeps its headers in front of the resource section, which ends the file.
void ExpectSoundLayout(const std::vector<uint8_t>& rebuilt) {
    PeLayout pe;
    std::string error;
    if (!ParsePe(rebuilt, &pe, &error) || pe.sections.empty())
        abort();
    const PeSection& last = pe.sections.back();
    if ((uint64_t)last.headerOffset + kPeSectionHeaderSize > last.rawPointer ||
        (uint64_t)last.rawPointer + last.rawSize != rebuilt.size())
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> file(data, data + size);
    std::vector<Resource> located, resources, again;
    std::string error;
    std::vector<uint8_t> rebuilt;
    const std::vector<uint8_t> payload(data, data + (size < 64 ? size : 64));
    ReadPeResources(file, false, &located, &error);
    // Where the headers say the sections end (the "incomplete file" diagnosis): any bytes.
    PeSectionsEnd(data, size);
    if (!ReadPeResources(file, true, &resources, &error)) {
        std::vector<Resource> own;
        SetPayloadResource(&own, payload);
        if (RebuildResourceSection(file, own, &rebuilt, &error))
            ExpectSoundLayout(rebuilt);
        return 0;
    }
    SetPayloadResource(&resources, payload);
    if (!RebuildResourceSection(file, resources, &rebuilt, &error))
        return 0;
    ExpectSoundLayout(rebuilt);
    if (!ReadPeResources(rebuilt, true, &again, &error) || again.size() != resources.size())
        abort();
    const Resource* found = FindPayloadResource(again);
    if (!found || found->data != payload)
        abort();
    return 0;
}
