#include "mkupdate/payload_file.h"

#include <string.h>

#include "archive/archive_format.h"
#include "mkupdate/host_files.h"
#include "pe/resource_section.h"

int LoadPayload(const std::filesystem::path& file, std::vector<uint8_t>* image,
                std::string* error) {
    std::vector<uint8_t> bytes;
    if (!ReadHostFile(file, &bytes, error))
        return 0;
    if (bytes.size() >= 2 && bytes[0] == 'M' && bytes[1] == 'Z') {
        std::vector<Resource> resources;
        if (!ReadPeResources(bytes, false, &resources, error)) {
            *error = Printable(file) + ": " + *error;
            return 0;
        }
        const Resource* payload = FindPayloadResource(resources);
        if (!payload) {
            *error = Printable(file) + " carries no payload (resource UPDATE 102)";
            return 0;
        }
        // Cut the file down to the resource in place: no second copy of the payload.
        const size_t at = payload->dataOffset, size = payload->dataSize;
        bytes.erase(bytes.begin() + (ptrdiff_t)(at + size), bytes.end());
        bytes.erase(bytes.begin(), bytes.begin() + (ptrdiff_t)at);
    }
    if (bytes.size() < kArchiveHeaderSize || memcmp(bytes.data(), "QV2", 4) != 0) {
        *error = Printable(file) + " is no payload archive";
        return 0;
    }
    if (bytes.size() > UINT32_MAX) {
        *error = Printable(file) + " is larger than 4 GiB";
        return 0;
    }
    image->swap(bytes);
    return 1;
}
