// mkupdate build: a folder packed and embedded into a copy of the updater stub.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "payload/compress.h"

// The stub taken when none is given: UPDATE.exe beside the running mkupdate.
std::filesystem::path DefaultStub();

// Embeds payload into a copy of the stub as resource UPDATE/102 (Japanese), replacing any
// there, and writes the result to output through a temporary file.
int EmbedPayload(const std::filesystem::path& stub, const std::vector<uint8_t>& payload,
                 const std::filesystem::path& output, std::string* error);
