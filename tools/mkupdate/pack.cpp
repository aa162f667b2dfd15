#include "mkupdate/pack.h"

#include <algorithm>
#include <map>

#include "archive/archive_format.h"
#include "mkupdate/host_files.h"
#include "payload/archive_writer.h"

std::string FoldName(const std::string& name) {
    std::string folded = name;
    for (size_t i = 0; i < folded.size(); ++i) {
        const unsigned char c = (unsigned char)folded[i];
        if ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC)) {
            ++i;
        } else if (c >= 'a' && c <= 'z') {
            folded[i] = (char)(c - 'a' + 'A');
        }
    }
    return folded;
}

int CollectFiles(const std::filesystem::path& dir, std::vector<SourceFile>* files,
                 std::string* error) {
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec)) {
        *error = Printable(dir) + " is not a folder";
        return 0;
    }
    std::filesystem::recursive_directory_iterator it(dir, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        if (!it->is_regular_file(ec))
            continue;
        SourceFile f;
        f.path = it->path();
        f.sortKey = Printable(std::filesystem::relative(f.path, dir, ec));
        if (!NameInCodePage932(f.path, &f.name)) {
            *error = "the file name of " + Printable(f.path) + " cannot be written in CP932";
            return 0;
        }
        if (f.name.size() >= kEntryNameSize) {
            *error = "the file name of " + Printable(f.path) + " is longer than 259 bytes";
            return 0;
        }
        if (FoldName(f.name) == "UPDATE.INI")
            f.name = "UPDATE.INI";
        files->push_back(f);
    }
    if (ec) {
        *error = "cannot read the folder " + Printable(dir) + ": " + ec.message();
        return 0;
    }
    std::sort(files->begin(), files->end(),
              [](const SourceFile& a, const SourceFile& b) { return a.sortKey < b.sortKey; });
    std::map<std::string, std::string> seen;
    for (const SourceFile& f : *files) {
        auto [at, fresh] = seen.emplace(FoldName(f.name), f.sortKey);
        if (!fresh) {
            *error = "two files would be one entry: " + at->second + " and " + f.sortKey;
            return 0;
        }
    }
    return 1;
}

int PackFolder(const std::filesystem::path& dir, CompressLevel level, std::vector<uint8_t>* image,
               std::string* error) {
    std::vector<SourceFile> files;
    if (!CollectFiles(dir, &files, error))
        return 0;
    std::vector<std::vector<uint8_t>> contents(files.size());
    std::vector<ArchiveInput> entries;
    for (size_t i = 0; i < files.size(); ++i) {
        uint64_t time;
        // Refused before it is read: the format cannot hold it, and memory may not either.
        std::error_code ec;
        if (std::filesystem::file_size(files[i].path, ec) > UINT32_MAX && !ec) {
            *error = Printable(files[i].path) + " is larger than 4 GiB";
            return 0;
        }
        if (!ReadHostFile(files[i].path, &contents[i], error) ||
            !LastWriteFileTime(files[i].path, &time, error))
            return 0;
        if (contents[i].size() > UINT32_MAX) {
            *error = Printable(files[i].path) + " is larger than 4 GiB";
            return 0;
        }
        entries.push_back(
            ArchiveInput{files[i].name, contents[i].data(), contents[i].size(), time, true, true});
    }
    ArchiveOptions options{kIndexCompressed | kIndexScrambled, level, true};
    // The integrity record last: the hashes of the index and of every file.
    options.integrity = true;
    return BuildArchiveWith(entries, options, image, error);
}
