// The resource section reader and rebuilder on arbitrary files: they must refuse what they
// cannot read without stepping outside the file, and what they rebuild must read back the same.
#include <stdlib.h>

#include <string>
#include <vector>

#include "pe/resource_section.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> file(data, data + size);
    std::vector<Resource> located, resources, again;
    std::string error;
    ReadPeResources(file, false, &located, &error);
    if (!ReadPeResources(file, true, &resources, &error))
        return 0;
    std::vector<uint8_t> rebuilt;
    SetPayloadResource(&resources, std::vector<uint8_t>(data, data + (size < 64 ? size : 64)));
    if (!RebuildResourceSection(file, resources, &rebuilt, &error))
        return 0;
    if (!ReadPeResources(rebuilt, true, &again, &error) || again.size() != resources.size())
        abort();
    const Resource* payload = FindPayloadResource(again);
    if (!payload || payload->data != FindPayloadResource(resources)->data)
        abort();
    return 0;
}
