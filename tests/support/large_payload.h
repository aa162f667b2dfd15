// Payloads whose entries lie in volumes, made by the writer mkupdate uses, for the updater's
// tests: the image, and the volumes UPDATE.001, UPDATE.002, ... put in place in a folder.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "archive/payload_large.h"
#include "payload/archive_writer.h"

// Every entry not marked keep goes to volumes of at most volumeLimit bytes (the image would be
// larger than imageLimit otherwise); entries over 64 KiB are stored in chunks of 64 KiB. 1 and
// the volumes' names, or 0 and *error.
inline int BuildWithVolumes(const std::vector<ArchiveInput>& entries, ArchiveOptions options,
                            const std::string& folder, uint64_t imageLimit, uint64_t volumeLimit,
                            std::vector<uint8_t>* image, std::vector<std::string>* names,
                            std::string* error) {
    options.integrity = true;
    options.placeOver = options.chunkSize = kMinChunkSize;
    VolumeOptions& v = options.volumes;
    v.imageLimit = imageLimit;
    v.volumeLimit = volumeLimit;
    v.folder = folder;
    v.stem = v.stemCp932 = "UPDATE";
    int serial = 0;
    v.temporaryName = [&]() { return v.folder / ("~v" + std::to_string(serial++) + ".tmp"); };
    WrittenVolumes written;
    if (!BuildArchiveWith(entries, options, image, error, &written))
        return 0;
    names->clear();
    for (size_t i = 0; i < written.temporary.size(); ++i) {
        const std::filesystem::path to = v.folder / written.final[i].filename();
        std::filesystem::rename(written.temporary[i], to);
        names->push_back(to.filename().string());
    }
    return 1;
}
