// mkupdate check: what the updater will make of a folder's UPDATE.INI, told before shipping.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

struct Finding {
    bool error; // errors stop a build; warnings are told
    std::string text;
};

// 1 when the folder holds no error (warnings may remain).
int CheckFolder(const std::filesystem::path& dir, std::vector<Finding>* findings);
