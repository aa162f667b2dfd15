// The deltas pack makes: for each file that update items write by the Always, Update or
// Overwrite rule, one delta per distinct copy of it that an older release installed, kept when
// its stored entry is smaller than the whole entry's; and the files that then travel only as
// deltas. How a payload carries them is archive/payload_deltas.h.
#pragma once

#include <stdint.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "archive/sha256.h"
#include "mkupdate/pack.h"
#include "mkupdate/update_ini.h"

// One delta to carry: it rebuilds files[file] from a base of baseSize bytes.
struct PackDelta {
    size_t file;
    std::vector<uint8_t> bytes;
    uint64_t baseSize;
    uint8_t baseDigest[kSha256Size];
    uint8_t baseSample[kSha256Size]; // its sampled identity (archive/file_sample.h)
};

struct DeltaPlan {
    std::vector<PackDelta> deltas;  // in the order of their entries and descriptors
    std::vector<char> wholeLeftOut; // per file: 1 when it travels only as deltas
    std::vector<std::string> told;  // what became of each file and base, one line each
};

// contents: the bytes of files, as pack read or mapped them; bases: older releases laid out as
// installed. 0 and a one-line reason when a base file is there but cannot be read.
int PlanDeltas(const std::vector<SourceFile>& files, const std::vector<FileBytes>& contents,
               const std::vector<std::filesystem::path>& bases, bool fallback, CompressLevel level,
               DeltaPlan* plan, std::string* error);

// Where the update items of an UPDATE.INI write one entry.
struct EntryTargets {
    std::vector<std::string> paths; // CP932 item paths of the Always, Update and Overwrite items
    std::vector<ItemRule> rules;    // the rule of each of them
    bool data = false;              // a Data item uses the entry too
};

// By folded entry name, every entry an item writes; version checks write nothing.
std::map<std::string, EntryTargets> TargetsByEntry(const std::vector<UpdateItemFields>& items);

// The file an item's path names under a folder laid out as installed: the folder, DataFolder,
// then the path (CP932, backslashes or slashes between folders), each part found as written or,
// failing that, as the one name that differs from it only in ASCII letter case, as Windows would
// find it. 0 when the path can name no file there (a part ".." or with no host form); *file may
// not exist.
int InstalledFile(const std::filesystem::path& folder, const std::string& dataFolder,
                  const std::string& itemPath, std::filesystem::path* file);
