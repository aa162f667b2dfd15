// Reading the payload that list, verify and extract work on: a payload archive file, or an
// updater executable that carries one as its resource.
#pragma once

#include <stdint.h>

#include <filesystem>
#include <string>
#include <vector>

// *image receives the archive's bytes. A file that begins like an executable is taken for
// one and must carry the payload resource; anything else must begin with the archive's magic.
int LoadPayload(const std::filesystem::path& file, std::vector<uint8_t>* image, std::string* error);
