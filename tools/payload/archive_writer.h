// Builds a payload archive image from entries held in memory.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "payload/compress.h"

struct ArchiveInput {
    std::string name; // CP932, no folder part, at most 259 bytes
    const uint8_t* data;
    size_t size;
    uint64_t time; // FILETIME
    bool compress;
    bool scramble;
};

struct ArchiveOptions {
    ArchiveOptions(uint32_t flags, CompressLevel compressLevel, bool smallerOnly)
        : indexFlags(flags), level(compressLevel), onlyWhenSmaller(smallerOnly) {}
    uint32_t indexFlags;  // any combination of kIndexCompressed and kIndexScrambled
    CompressLevel level;  // for the entries and the index
    bool onlyWhenSmaller; // an entry marked compress is stored as is when that is no larger
    // Appends the integrity record (archive/payload_integrity.h) as the last entry: hashes of
    // the index and of every entry's decoded bytes, and of the image.
    bool integrity = false;
    uint32_t requiredFeatures = 0; // the record's required features, with integrity
    // The record's delta descriptors (archive/payload_deltas.h), kDeltaDescriptorSize bytes
    // each, naming entries by their position in `entries`; with integrity only.
    std::vector<uint8_t> deltaDescriptors;
};

// 1 and the image in *image, or 0 and a one-line reason in *error. An entry may not carry the
// integrity record's reserved name.
int BuildArchiveWith(const std::vector<ArchiveInput>& entries, const ArchiveOptions& options,
                     std::vector<uint8_t>* image, std::string* error);

// The fast level, every entry marked compress stored compressed.
int BuildArchive(const std::vector<ArchiveInput>& entries, uint32_t indexFlags,
                 std::vector<uint8_t>* image, std::string* error);
