// mkupdate check: what the updater will make of a folder's UPDATE.INI, told before shipping.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

struct Finding {
    bool error; // errors stop a build; warnings are told
    std::string text;
};

// 1 when the folder holds no error (warnings may remain). leaveOut is the output a build is
// about to write, left out of the files as pack leaves it out.
int CheckFolder(const std::filesystem::path& dir, std::vector<Finding>* findings,
                const std::filesystem::path& leaveOut = std::filesystem::path());

// The checks of UPDATE.INI's bytes against the entry names (CP932) the payload will carry;
// appends to findings. 1 when it adds no error. With folderNames the entries are named by
// their paths, and an item's entry is the one of its whole path.
int CheckUpdateIni(const std::string& text, const std::vector<std::string>& entryNames,
                   std::vector<Finding>* findings, bool folderNames = false);
