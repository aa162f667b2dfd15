// What a folder tree holds, file by file: names, attributes, sizes, last-write times and bytes,
// so that two moments of an installation can be compared exactly.
#pragma once

#include <windows.h>

#include <stdint.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

struct SnapshotEntry {
    DWORD attributes;
    uint64_t writeTime; // 0 for folders
    std::string bytes;  // empty for folders
};

// Relative path (lower case) → entry, the root's own attributes under "".
typedef std::map<std::string, SnapshotEntry> TreeSnapshot;

TreeSnapshot TakeSnapshot(const std::string& root);
// Several trees in one snapshot, each path under its tree's label ("label:path").
TreeSnapshot TakeSnapshot(const std::vector<std::pair<std::string, std::string>>& labelledRoots);

// The differences between two snapshots, one line each; empty when they are the same. Paths in
// ignoreTimes are compared without their last-write times.
std::vector<std::string> CompareSnapshots(const TreeSnapshot& expected, const TreeSnapshot& got,
                                          const std::vector<std::string>& ignoreTimes = {});

// Names below root that only the run's own machinery makes: staged files, backups, journals.
std::vector<std::string> RunLeftovers(const std::string& root);
