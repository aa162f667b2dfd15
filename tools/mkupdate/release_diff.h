// mkupdate diff: the patch folder that brings older releases of a game to a new one, worked out
// from the releases themselves (each a folder laid out as installed), by content alone.
#pragma once

#include <stdint.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

struct DiffOptions {
    std::vector<std::filesystem::path> from; // the older releases
    std::filesystem::path to;                // the new release
    std::filesystem::path out;               // the patch folder to write; empty: plan only
    std::vector<std::string> keep;           // patterns (UTF-8) of files left alone
    // [SETUP] values (UTF-8) that take the place of those in the new release's SETUP.INI.
    std::string companyName, gameTitle, gameDir, gameClass;
    // Told as the releases are read: bytes read so far and bytes in all.
    std::function<void(uint64_t, uint64_t)> progress;
};

// One file of the plan: its path in the releases (UTF-8, slashes), what becomes of it ("changed",
// "added", "removed", "unchanged", or "kept" by --keep) and its size.
struct PlanFile {
    std::string path;
    const char* status;
    uint64_t size;
};

// What one older release needs.
struct ReleaseCounts {
    std::string name;
    std::vector<PlanFile> files; // in path order
    size_t changed = 0, added = 0, removed = 0, unchanged = 0;
    uint64_t changedBytes = 0, addedBytes = 0, removedBytes = 0, unchangedBytes = 0;
};

struct PatchFile {
    std::filesystem::path source; // in the new release
    std::string relative;         // UTF-8, with slashes
    std::string itemPath;         // CP932, with backslashes
    uint64_t size = 0;
};

struct ReleaseDiff {
    std::vector<PatchFile> files;     // one Always item each, in the order of the items
    std::vector<std::string> deletes; // CP932 paths of the DeleteFileNN items, in their order
    std::string versionCheck;         // CP932 path of the "e" item; empty when there is none
    std::vector<ReleaseCounts> releases;
    size_t kept = 0;               // files left alone by --keep
    bool folderNames = false;      // two files of one name travel: entries carry their paths
    bool newFolders = false;       // folders the run must make
    std::string ini;               // the UPDATE.INI written, CP932 with CRLF
    std::vector<std::string> told; // notes for the publisher
};

// Reads every file of every release once, compares them by SHA-256 and, unless options.out is
// empty, writes the new and changed files there (laid out as installed, with their times) and
// UPDATE.INI beside them. The patch folder must not exist or be empty, and lie outside every
// release. Everything that can be judged from the names is judged before a byte is read; the
// folder is filled under a temporary name beside it and takes its name at the end. Releases
// that do not differ are a failure. 0 and a one-line reason on failure, nothing left behind.
int DiffReleases(const DiffOptions& options, ReleaseDiff* diff, std::string* error);

// The plan, for standard error: per older release what changes, and the patch in all.
std::string DescribeDiff(const ReleaseDiff& diff);

// The plan file by file, for standard output: per older release each file with what becomes of
// it and its size.
std::string DescribePlanFiles(const ReleaseDiff& diff);

// The plan as JSON: the releases with their files (as DescribePlanFiles), the item paths the
// patch writes and deletes, the version check (or null), whether entries carry their folders
// and whether the patch makes folders.
std::string PlanJson(const ReleaseDiff& diff);

// 1 when the relative path (UTF-8, slashes) matches a --keep pattern: '*' any run of
// characters, '?' one, ASCII letters in either case, '\' taken as '/'; a pattern without a
// slash is also tried on the file name alone.
int MatchesKeep(const std::string& pattern, const std::string& relative);
