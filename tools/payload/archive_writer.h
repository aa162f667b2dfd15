// Builds a payload archive image from entries held in memory.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

struct ArchiveInput {
    std::string name; // CP932, no folder part, at most 259 bytes
    const uint8_t* data;
    size_t size;
    uint64_t time; // FILETIME
    bool compress;
    bool scramble;
};

// 1 and the image in *image, or 0 and a one-line reason in *error. indexFlags takes any
// combination of kIndexCompressed and kIndexScrambled.
int BuildArchive(const std::vector<ArchiveInput>& entries, uint32_t indexFlags,
                 std::vector<uint8_t>* image, std::string* error);
