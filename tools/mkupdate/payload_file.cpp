#include "mkupdate/payload_file.h"

#include <algorithm>

#include <string.h>

#include "archive/archive_format.h"
#include "mkupdate/host_files.h"
#include "pe/resource_section.h"

namespace {

uint32_t Le(const uint8_t* p, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = v << 8 | p[i];
    return v;
}

} // namespace

uint64_t PeSectionsEnd(const uint8_t* data, uint64_t size) {
    if (size < 0x40)
        return 0;
    const uint64_t pe = Le(data + 0x3C, 4);
    if (pe + 24 > size || memcmp(data + pe, "PE\0\0", 4) != 0)
        return pe + 24;
    const uint32_t sections = Le(data + pe + 6, 2);
    const uint64_t table = pe + 24 + Le(data + pe + 20, 2);
    uint64_t end = table + 40ull * sections;
    for (uint32_t i = 0; i < sections && table + 40ull * (i + 1) <= size; ++i) {
        const uint8_t* s = data + table + 40ull * i;
        end = std::max<uint64_t>(end, (uint64_t)Le(s + 20, 4) + Le(s + 16, 4));
    }
    return end;
}

int OpenPayload(const std::filesystem::path& file, OpenedPayload* payload, std::string* error) {
    if (!CanReadHostFile(file, error) || !payload->file.Open(file, error))
        return 0;
    const uint8_t* data = payload->file.data();
    uint64_t size = payload->file.size();
    if (size >= 2 && data[0] == 'M' && data[1] == 'Z') {
        // Only the headers and the resource tree are read here: the payload's own pages are
        // touched when its entries are.
        std::vector<Resource> resources;
        if (!ReadPeResources(data, size, false, &resources, error)) {
            const uint64_t end = PeSectionsEnd(data, size);
            *error = end > size ? Printable(file) + " is incomplete: its sections run to byte " +
                                      std::to_string(end) + " and the file ends at " +
                                      std::to_string(size) + " (cut short in copying?)"
                                : Printable(file) + ": " + *error;
            return 0;
        }
        const Resource* found = FindPayloadResource(resources);
        if (!found) {
            *error = Printable(file) + " carries no payload (resource UPDATE 102)";
            return 0;
        }
        data += found->dataOffset;
        size = found->dataSize;
    }
    if (size < kArchiveHeaderSize || memcmp(data, "QV2", 4) != 0) {
        *error = Printable(file) + " is no payload archive";
        return 0;
    }
    if (size > UINT32_MAX) {
        *error = Printable(file) + " is larger than 4 GiB";
        return 0;
    }
    payload->image.data = data;
    payload->image.size = (size_t)size;
    payload->image.folder =
        file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
    payload->image.mapping = &payload->file;
    payload->file.Release();
    return 1;
}

int LoadPayload(const std::filesystem::path& file, std::vector<uint8_t>* image,
                std::string* error) {
    OpenedPayload payload;
    if (!OpenPayload(file, &payload, error))
        return 0;
    image->assign(payload.image.data, payload.image.data + payload.image.size);
    return 1;
}
