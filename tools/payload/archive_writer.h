// Builds a payload archive image, and for a large payload the volumes beside it
// (archive/payload_large.h).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "payload/compress.h"

struct ArchiveInput {
    ArchiveInput(std::string entryName, const uint8_t* bytes, uint64_t length, uint64_t fileTime,
                 bool compressIt, bool scrambleIt, bool keepIt = false,
                 std::function<void()> letGo = nullptr)
        : name(std::move(entryName)), data(bytes), size(length), time(fileTime),
          compress(compressIt), scramble(scrambleIt), keep(keepIt), release(std::move(letGo)) {}
    std::string name; // CP932, at most 259 bytes
    const uint8_t* data;
    uint64_t size;
    uint64_t time; // FILETIME
    bool compress;
    bool scramble;
    // Stays in the image when the other entries go to volumes: what the updater reads before
    // it has checked its volumes (UPDATE.INI and the texts its dialog shows).
    bool keep = false;
    // Lets go of the pages of data read so far (a mapped file's); may be empty.
    std::function<void()> release;
    // Placed whatever its size (with integrity only): a delta whose result is 4 GiB or more
    // needs a payload that requires PAYLOAD_FEATURE_LARGE, which placed entries announce.
    bool place = false;
};

// Where a payload's entries go when it is too large for one image.
struct VolumeOptions {
    // The largest image: past it every entry not marked keep goes to volumes.
    uint64_t imageLimit = UINT64_MAX;
    uint64_t volumeLimit = UINT64_MAX; // the largest volume
    // The volumes' names are stem.001, stem.002, ... (at most 999), in folder; stemCp932 is
    // the stem as the record names it.
    std::filesystem::path folder;
    std::string stem, stemCp932;
    // A fresh temporary name in folder, for the volumes until they are complete and for the
    // spool that holds the stored bytes until the layout is known. Empty: the spool stays in
    // memory and the payload may not go to volumes.
    std::function<std::filesystem::path()> temporaryName;
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
    // Their sampled identities (archive/file_sample.h), kDeltaSampleSize bytes per descriptor, in
    // the same order; none when empty.
    std::vector<uint8_t> deltaSamples;
    // Entries larger than this are placed: stored in chunks of chunkSize decoded bytes, each
    // compressed when that makes it smaller; with integrity only. A payload with a placed
    // entry requires PAYLOAD_FEATURE_LARGE.
    uint64_t placeOver = UINT64_MAX;
    uint32_t chunkSize = 1u << 20;
    VolumeOptions volumes;
};

// The volumes a build wrote, under temporary names until the caller moves them into place.
struct WrittenVolumes {
    std::vector<std::filesystem::path> temporary;
    std::vector<std::filesystem::path> final;
    std::vector<uint64_t> sizes;
};

// 1 and the image in *image (and any volumes in *volumes), or 0 and a one-line reason in *error,
// nothing left behind. An entry may not carry the integrity record's reserved name.
int BuildArchiveWith(const std::vector<ArchiveInput>& entries, const ArchiveOptions& options,
                     std::vector<uint8_t>* image, std::string* error,
                     WrittenVolumes* volumes = nullptr);

// The fast level, every entry marked compress stored compressed.
int BuildArchive(const std::vector<ArchiveInput>& entries, uint32_t indexFlags,
                 std::vector<uint8_t>* image, std::string* error);

// The stored size the writer gives these bytes: placed (chunk table and chunks) when larger than
// placeOver, otherwise one stream, compressed only when that is smaller. Counting stops once it
// passes stopAbove, whose return then only says "larger".
uint64_t StoredSizeOf(const uint8_t* data, uint64_t size, CompressLevel level, uint64_t placeOver,
                      uint32_t chunkSize, uint64_t stopAbove = UINT64_MAX,
                      const std::function<void()>& release = nullptr);
