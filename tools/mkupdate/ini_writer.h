// Writing an UPDATE.INI that the updater and mkupdate check read back as meant.
#pragma once

#include <string>
#include <vector>

// Every value in CP932.
struct IniContent {
    std::string companyName, gameTitle, gameClass, gameDir;
    std::vector<std::string> updates; // UpdateFileNN values, in order
    std::vector<std::string> deletes; // DeleteFileNN paths, in order
    bool createFolders = false;       // [UPDATE] CreateFolders=1
};

// The file's bytes: CP932, CRLF line ends, the keys numbered from 00 without a gap.
std::string WriteUpdateIni(const IniContent& ini);
