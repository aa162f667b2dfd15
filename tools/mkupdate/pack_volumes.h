// The volumes beside a built UPDATE.exe or payload: named after the output's stem (UPDATE.exe:
// UPDATE.001, UPDATE.002, ...), put in place once everything else has succeeded, and the ones an
// earlier build left there and this one does not write removed.
#pragma once

#include <stdint.h>

#include <filesystem>
#include <string>
#include <vector>

#include "payload/archive_writer.h"

// The smallest and largest --volume-limit: a volume must hold something, and an image past
// 2 GiB is one the platform's loader need not map.
const uint64_t kSmallestVolumeLimit = 64u << 10;
const uint64_t kLargestVolumeLimit = 2048ull << 20;

// Room build leaves beside the stub and the payload for the program's headers and the resource
// directory, when it asks whether the payload fits the limit.
const uint64_t kEmbedSlack = 64u << 10;

// A size such as 1048576, 512K, 700M or 2G (powers of 1024), within the limits above.
int ParseVolumeLimit(const std::string& text, uint64_t* bytes, std::string* error);

// 1 when name is a volume's of stem: the stem (ASCII letters in any case, as Windows finds it),
// a dot and three digits.
int IsVolumeName(const std::string& stem, const std::string& name);

// Removes every volume of output's stem in its folder, then moves the written volumes from their
// temporary names to theirs; what was removed is told. 0 and a reason on failure.
int PlaceVolumes(const std::filesystem::path& output, const WrittenVolumes& written,
                 std::vector<std::string>* told, std::string* error);

// Removes the temporary files of volumes that will not be placed.
void DiscardVolumes(const WrittenVolumes& written);
