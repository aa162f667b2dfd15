#include "mkupdate/verify_release.h"

#include <fstream>
#include <map>

#include "mkupdate/host_files.h"
#include "mkupdate/inspect.h"
#include "mkupdate/pack.h"
#include "mkupdate/temp_output.h"

namespace {

// A copy of the release, folders and regular files with their last-write times; a link or
// anything else is no part of an installation and is refused. A file is a second name of the
// release's own where the file system allows (the run never writes into a file: it writes a new
// one and renames it over, and the one file it keeps gets a copy of its own first), else a copy.
int CopyRelease(const std::filesystem::path& from, const std::filesystem::path& to,
                std::string* error) {
    bool link = true;
    std::error_code ec;
    for (std::filesystem::recursive_directory_iterator it(from, ec), end; it != end;
         it.increment(ec)) {
        if (ec)
            break;
        const std::filesystem::path copy = to / it->path().lexically_relative(from);
        const std::filesystem::file_status status = it->symlink_status(ec);
        uint64_t time = 0;
        if (std::filesystem::is_directory(status)) {
            std::filesystem::create_directory(copy, ec);
        } else if (!std::filesystem::is_regular_file(status)) {
            *error = Printable(it->path()) + " is no regular file or folder";
            return 0;
        } else {
            if (link) {
                std::filesystem::create_hard_link(it->path(), copy, ec);
                if (!ec)
                    continue;
                link = false;
                ec.clear();
            }
            if (std::filesystem::copy_file(it->path(), copy, ec) &&
                (!LastWriteFileTime(it->path(), &time, error) ||
                 !SetLastWriteFileTime(copy, time, error)))
                return 0;
        }
        if (ec)
            break;
    }
    if (ec)
        *error = "cannot copy " + Printable(from) + ": " + ec.message();
    return ec ? 0 : 1;
}

struct TreeItem {
    std::filesystem::path relative;
    bool folder;
    bool empty; // a folder with nothing in it
};

// Every file and folder under root by its path without ASCII case.
std::map<std::string, TreeItem> Walk(const std::filesystem::path& root) {
    std::map<std::string, TreeItem> items;
    std::error_code ec;
    for (std::filesystem::recursive_directory_iterator it(root, ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::filesystem::path relative = it->path().lexically_relative(root);
        const bool folder = it->is_directory(ec) && !it->is_symlink(ec);
        std::string name = relative.generic_u8string(), cp932;
        if (Utf8ToCp932(name, &cp932))
            name = cp932;
        items[FoldName(name)] = {relative, folder,
                                 folder && std::filesystem::is_empty(it->path(), ec)};
    }
    return items;
}

// Where two files of one size first differ, or -1 when they do not.
int64_t FirstDifference(const std::filesystem::path& a, const std::filesystem::path& b) {
    std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
    std::vector<char> p(1u << 20), q(1u << 20);
    for (int64_t at = 0;;) {
        x.read(p.data(), (std::streamsize)p.size());
        y.read(q.data(), (std::streamsize)q.size());
        const size_t n = (size_t)x.gcount();
        if ((size_t)y.gcount() != n)
            return at;
        for (size_t i = 0; i < n; ++i)
            if (p[i] != q[i])
                return at + (int64_t)i;
        if (n == 0)
            return -1;
        at += (int64_t)n;
    }
}

std::string Bytes(uint64_t n) {
    return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

} // namespace

std::vector<std::string> CompareTrees(const std::filesystem::path& result,
                                      const std::filesystem::path& expected) {
    const std::map<std::string, TreeItem> got = Walk(result), want = Walk(expected);
    std::vector<std::string> differences;
    // A folder with files in it is told by its files.
    for (const auto& [key, w] : want) {
        const auto g = got.find(key);
        const std::string shown = Printable(w.relative);
        std::error_code same;
        if (g == got.end()) {
            if (!w.folder || w.empty)
                differences.push_back("missing: " + shown + (w.folder ? " (a folder)" : ""));
        } else if (g->second.folder != w.folder) {
            differences.push_back(std::string(w.folder ? "a file" : "a folder") + " in place of " +
                                  std::string(w.folder ? "the folder " : "the file ") + shown);
        } else if (!w.folder && !std::filesystem::equivalent(result / g->second.relative,
                                                             expected / w.relative, same)) {
            // One file under two names (the release's own, never written) is the same bytes.
            std::error_code ec;
            const uint64_t a = std::filesystem::file_size(result / g->second.relative, ec);
            const uint64_t b = std::filesystem::file_size(expected / w.relative, ec);
            if (a != b)
                differences.push_back("differs: " + shown + ": " + Bytes(a) + ", expected " +
                                      Bytes(b));
            else if (const int64_t at =
                         FirstDifference(result / g->second.relative, expected / w.relative);
                     at >= 0)
                differences.push_back("differs: " + shown +
                                      ": the same size, first differing at "
                                      "byte " +
                                      std::to_string(at));
        }
    }
    for (const auto& [key, g] : got)
        if (!want.count(key) && (!g.folder || g.empty))
            differences.push_back("extra: " + Printable(g.relative) +
                                  (g.folder ? " (a folder)" : ""));
    return differences;
}

void VerifyAgainstRelease(const PayloadImage& image,
                          const std::vector<std::filesystem::path>& bases,
                          const std::filesystem::path& expected, int installedMode,
                          std::vector<std::string>* told, std::vector<std::string>* problems) {
    for (const std::filesystem::path& base : bases) {
        const std::string who = Printable(base) + ": ";
        // A folder of mkupdate's own in the temporary folder, removed when this copy is done
        // with, and by INT, TERM or HUP meanwhile.
        OwnedFolder scratch;
        std::string error;
        std::error_code ec;
        const std::filesystem::path temp = std::filesystem::temp_directory_path(ec);
        if (ec)
            error = "no temporary folder: " + ec.message();
        if (ec || !scratch.Make(temp, &error) || !CopyRelease(base, scratch.path(), &error)) {
            problems->push_back(who + error);
            continue;
        }
        std::vector<std::string> runTold, runProblems;
        const int ran = ApplyPayload(image, scratch.path(), installedMode, &runTold, &runProblems);
        for (const std::string& line : runTold)
            told->push_back(who + line);
        for (const std::string& line : runProblems)
            problems->push_back(who + line);
        if (!ran)
            continue;
        const std::vector<std::string> differences = CompareTrees(scratch.path(), expected);
        for (const std::string& line : differences)
            problems->push_back(who + line);
        if (differences.empty())
            told->push_back(who + "the update turns it into " + Printable(expected) +
                            ", file for file");
    }
}
