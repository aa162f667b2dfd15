// Reading the payload that list, verify and extract work on: a payload archive file, or an
// updater executable that carries one as its resource, and the volumes beside it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <filesystem>
#include <string>
#include <vector>

#include "payload/mapped_file.h"

// An archive image where it lies: inside a mapping of the file it was read from, or in memory.
// Readers let the mapping's pages go as they move on, so that reading a payload of many GiB
// holds little of it at a time.
struct PayloadImage {
    PayloadImage() = default;
    // An image in memory, with no volumes beside it (tests, and payloads built in memory).
    PayloadImage(const std::vector<uint8_t>& image) : data(image.data()), size(image.size()) {}

    const uint8_t* data = nullptr;
    size_t size = 0;
    // Where the volumes lie: the folder of the file read; empty for an image in memory.
    std::filesystem::path folder;
    MappedFile* mapping = nullptr;

    // Lets go the pages of the mapping read so far; they are read again when needed.
    void LetGo() const {
        if (mapping)
            mapping->Release();
    }
};

// A payload opened from its file: the mapping and the image inside it.
struct OpenedPayload {
    MappedFile file;
    PayloadImage image;
};

// Maps file and finds the archive in it. A file that begins like an executable is taken for
// one and must carry the payload resource; anything else must begin with the archive's magic.
int OpenPayload(const std::filesystem::path& file, OpenedPayload* payload, std::string* error);

// The same archive copied whole into *image, for what is small enough to hold (tests).
int LoadPayload(const std::filesystem::path& file, std::vector<uint8_t>* image, std::string* error);

// Where a program's headers and sections end by its own headers: past size when the file was cut
// short. 0 when it is too short to hold a DOS header.
uint64_t PeSectionsEnd(const uint8_t* data, uint64_t size);
