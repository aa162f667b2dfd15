// Turning a publisher's folder into a payload archive.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

// Every file under dir becomes an entry named by its file name alone (in CP932), compressed when
// that makes it smaller, scrambled, with a compressed and scrambled index. The same folder
// always gives the same bytes. 0 and a one-line reason on failure.
int PackFolder(const std::filesystem::path& dir, std::vector<uint8_t>* image, std::string* error);
