// Turning a publisher's folder into a payload archive.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "payload/archive_writer.h"
#include "payload/compress.h"

// Entries larger than this are stored in chunks (archive/payload_large.h), so that the updater
// holds one chunk of them at a time; smaller ones are one stream, as they always were.
const uint64_t kPlaceOver = 16u << 20;

// The limit an UPDATE.exe or a payload file is kept within when no --volume-limit is given:
// well inside what the platform's loader maps, with room for the updater's own memory.
const uint64_t kDefaultVolumeLimit = 512ull << 20;

// A file's bytes as pack holds them: read whole when small, mapped when large, with a way to
// let the pages read so far go.
struct FileBytes {
    const uint8_t* data;
    uint64_t size;
    std::function<void()> release;
};

struct SourceFile {
    std::filesystem::path path;
    std::string sortKey; // the path relative to the folder, in UTF-8
    std::string name;    // the entry name: the file name alone, or with folderNames its path
                         // relative to the folder with backslashes; in CP932
};

// Upper-cases the ASCII letters of a CP932 name, stepping over double-byte characters, so that
// names the updater would take for one entry compare equal.
std::string FoldName(const std::string& name);

// Why Windows cannot create a file of this CP932 name (a device name such as NUL or COM1 with
// any extension, a trailing dot or space, one of <>:"/\|?*, a control character); empty when
// it can.
std::string WindowsNameProblem(const std::string& name);

// The same for an entry name, which may carry folders before its file name (backslashes): each
// part must be a name Windows can create.
std::string EntryNameProblem(const std::string& name);

// Every regular file under dir, in a reproducible order, with its entry name: the files pack
// packs and check checks. Problems (each naming its file) are links, FIFOs, sockets, devices,
// unreadable files, names with no CP932 form, over 259 bytes or that Windows cannot create, and
// two files that would be one entry; 1 when there are none. leaveOut (the output being written,
// when it lies inside dir) and mkupdate's temporary files are left out and told in leftOut.
// With folderNames, two files of one name in different folders are no problem: every entry
// then takes its path as its name, and *folderNames tells whether that happened.
int CollectFiles(const std::filesystem::path& dir, const std::filesystem::path& leaveOut,
                 std::vector<SourceFile>* files, std::vector<std::string>* problems,
                 std::vector<std::string>* leftOut, bool* folderNames = nullptr);

// The features a payload of these files needs beyond integrity and deltas: entries named by
// their paths, an update list past UpdateFile15, deletions (from the folder's UPDATE.INI).
uint32_t FolderFeatures(const std::vector<SourceFile>& files, bool folderNames);

// How pack makes a payload.
struct PackOptions {
    CompressLevel level = kCompressBest;
    // Older releases laid out as installed: the files update items write by the Always, Update
    // and Overwrite rules travel as deltas against the copies there (mkupdate/pack_deltas.h).
    std::vector<std::filesystem::path> bases;
    bool fallback = false; // keep every whole entry beside its deltas
    // Past imageLimit bytes of payload, the entries but UPDATE.INI and the texts go to volumes
    // of at most volumeLimit bytes beside the output, named after its stem (pack_volumes.h).
    uint64_t imageLimit = UINT64_MAX;
    uint64_t volumeLimit = kDefaultVolumeLimit;
    std::filesystem::path volumesFor; // the output the volumes go beside; empty: none
};

// Every file under dir becomes an entry, compressed when that makes it smaller, scrambled, with
// a compressed and scrambled index; with bases, the deltas follow the files, and a file every
// base has a smaller delta of is left out unless fallback. Files larger than kPlaceOver are
// stored in chunks. The same folder (and bases) always give the same bytes. With volumes, the
// payload may go to volumes, written under temporary names (pack_volumes.h puts them in
// place). What was made of each delta is told in told, one line each. 0 and a one-line reason
// on failure, no volume left behind.
int PackFolder(const std::filesystem::path& dir, const std::filesystem::path& leaveOut,
               const PackOptions& options, std::vector<uint8_t>* image,
               std::vector<std::string>* leftOut, std::vector<std::string>* told,
               std::string* error, WrittenVolumes* volumes = nullptr);
