#include "mkupdate/payload_file.h"

#include <string.h>

#include "archive/archive_format.h"
#include "mkupdate/host_files.h"
#include "pe/resource_section.h"

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
            *error = Printable(file) + ": " + *error;
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
