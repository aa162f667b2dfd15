// Turning a publisher's folder into a payload archive.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "payload/compress.h"

struct SourceFile {
    std::filesystem::path path;
    std::string sortKey; // the path relative to the folder, in UTF-8
    std::string name;    // the entry name: the file name alone, in CP932
};

// Upper-cases the ASCII letters of a CP932 name, stepping over double-byte characters, so that
// names the updater would take for one entry compare equal.
std::string FoldName(const std::string& name);

// Every regular file under dir, in a reproducible order, with its entry name. Refuses names
// with no CP932 form, names over 259 bytes and two files that would be one entry.
int CollectFiles(const std::filesystem::path& dir, std::vector<SourceFile>* files,
                 std::string* error);

// Every file under dir becomes an entry, compressed when that makes it smaller, scrambled, with
// a compressed and scrambled index. The same folder always gives the same bytes. 0 and a
// one-line reason on failure.
int PackFolder(const std::filesystem::path& dir, CompressLevel level, std::vector<uint8_t>* image,
               std::string* error);
