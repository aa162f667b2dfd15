#include "mkupdate/release_diff.h"

#include <string.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>

#include "archive/sha256.h"
#include "mkupdate/host_files.h"
#include "mkupdate/ini_writer.h"
#include "mkupdate/pack.h"
#include "mkupdate/temp_output.h"
#include "mkupdate/update_ini.h"

namespace fs = std::filesystem;

namespace {

struct Digest {
    uint8_t bytes[kSha256Size];
    bool operator==(const Digest& o) const { return memcmp(bytes, o.bytes, kSha256Size) == 0; }
};

struct TreeFile {
    fs::path path;
    std::string relative; // UTF-8, slashes
    uint64_t size = 0;
    Digest digest{};
};

// One release: its files by the key Windows would take them by (ASCII case folded).
struct Tree {
    fs::path root;
    std::map<std::string, TreeFile> files;
    std::map<std::string, std::string> folders; // key -> relative path (UTF-8)
};

std::string Key(const std::string& relative) {
    std::string key = relative;
    for (char& c : key)
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
    return key;
}

std::string FileName(const std::string& relative) {
    const size_t slash = relative.rfind('/');
    return slash == std::string::npos ? relative : relative.substr(slash + 1);
}

bool GlobMatch(const char* p, const char* s) {
    for (; *p; ++p, ++s) {
        if (*p == '*') {
            for (const char* t = s;; ++t) {
                if (GlobMatch(p + 1, t))
                    return true;
                if (!*t)
                    return false;
            }
        }
        if (!*s)
            return false;
        char a = *p == '\\' ? '/' : *p, b = *s;
        if (a >= 'A' && a <= 'Z')
            a = (char)(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z')
            b = (char)(b - 'A' + 'a');
        if (a != '?' && a != b)
            return false;
    }
    return !*s;
}

bool Kept(const DiffOptions& o, const std::string& relative) {
    for (const std::string& p : o.keep)
        if (MatchesKeep(p, relative))
            return true;
    return false;
}

// Every file of the release, its size known; nothing read yet.
int ListTree(const fs::path& root, Tree* tree, std::string* error) {
    std::error_code ec;
    tree->root = root;
    if (!fs::is_directory(root, ec)) {
        *error = Printable(root) + " is not a folder (give a release laid out as installed)";
        return 0;
    }
    fs::recursive_directory_iterator it(root, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const fs::file_status st = it->symlink_status(ec);
        if (ec)
            break;
        if (fs::is_directory(st)) {
            const std::string relative = fs::relative(it->path(), root, ec).generic_u8string();
            tree->folders.emplace(Key(relative), relative);
            continue;
        }
        if (!fs::is_regular_file(st)) {
            *error = Printable(it->path()) +
                     " is a link or no regular file: a release may hold only files and folders";
            return 0;
        }
        TreeFile f;
        f.path = it->path();
        f.relative = fs::relative(f.path, root, ec).generic_u8string();
        f.size = fs::file_size(f.path, ec);
        if (ec)
            break;
        auto [at, fresh] = tree->files.emplace(Key(f.relative), f);
        if (!fresh) {
            *error = Printable(root) + " holds " + at->second.relative + " and " + f.relative +
                     ", which Windows takes for one file";
            return 0;
        }
    }
    if (ec) {
        *error = "cannot read " + Printable(root) + ": " + ec.message();
        return 0;
    }
    // Windows takes a file and a folder whose names differ only in letter case for one name.
    for (const auto& [key, f] : tree->files) {
        const auto folder = tree->folders.find(key);
        if (folder != tree->folders.end()) {
            *error = Printable(root) + " holds the file " + f.relative + " and the folder " +
                     folder->second + "/, which Windows takes for one name";
            return 0;
        }
    }
    return 1;
}

struct Reader {
    const DiffOptions* options;
    uint64_t done = 0, total = 0;
    void Advance(uint64_t n) {
        done += n;
        if (options->progress)
            options->progress(done, total);
    }
};

// Reads a file once, in parts: its digest, and its bytes written to out and kept in hold when
// they are given, so that memory holds at most one part of a large file.
int ReadOnce(TreeFile* f, Reader* r, std::ofstream* out, std::vector<uint8_t>* hold,
             std::string* error) {
    std::ifstream in(f->path, std::ios::binary);
    if (!in) {
        *error = "cannot read " + Printable(f->path);
        return 0;
    }
    Sha256Context c;
    Sha256Init(&c);
    std::vector<char> part(1 << 20);
    uint64_t got = 0;
    while (in) {
        in.read(part.data(), (std::streamsize)part.size());
        const std::streamsize n = in.gcount();
        if (n <= 0)
            break;
        Sha256Update(&c, part.data(), (size_t)n);
        if (out)
            out->write(part.data(), n);
        if (hold)
            hold->insert(hold->end(), part.data(), part.data() + n);
        got += (uint64_t)n;
        r->Advance((uint64_t)n);
    }
    if (in.bad() || got != f->size) {
        *error = "cannot read " + Printable(f->path) + " whole (did it change while being read?)";
        return 0;
    }
    Sha256Final(&c, f->digest.bytes);
    return 1;
}

// The item path of a file of the new release: CP932, backslashes, each part a name Windows can
// create, and a path the updater's item grammar reads back as an Always item of that path.
int ItemPath(const std::string& relative, std::string* item, std::string* error) {
    item->clear();
    size_t start = 0;
    while (start <= relative.size()) {
        size_t slash = relative.find('/', start);
        if (slash == std::string::npos)
            slash = relative.size();
        std::string part;
        if (!Utf8ToCp932(relative.substr(start, slash - start), &part)) {
            *error = relative + " has no CP932 name";
            return 0;
        }
        const std::string why = WindowsNameProblem(part);
        if (!why.empty()) {
            *error = "the name of " + relative + " " + why;
            return 0;
        }
        *item += (item->empty() ? "" : "\\") + part;
        start = slash + 1;
    }
    if (item->size() >= 260) {
        *error = relative + ": its path is longer than 259 bytes";
        return 0;
    }
    const UpdateItemFields fields = CutUpdateItem(*item);
    if (fields.rule != kRuleAlways || fields.path != *item || fields.lostPrefix) {
        *error = relative + " cannot be named by an update item (a comma, a lone digit or a "
                            "mode word as its name)";
        return 0;
    }
    return 1;
}

// The patch folder may not overlap a release, and must be new or an empty folder whose parent
// is there; nothing is made here.
int CheckPatchFolder(const fs::path& out, const std::vector<fs::path>& releases,
                     std::string* error) {
    std::error_code ec;
    const fs::path o = fs::weakly_canonical(out, ec);
    for (const fs::path& r : releases) {
        const fs::path c = fs::weakly_canonical(r, ec);
        const auto inside = [](const fs::path& a, const fs::path& b) {
            auto [i, j] = std::mismatch(b.begin(), b.end(), a.begin(), a.end());
            return i == b.end();
        };
        if (inside(o, c) || inside(c, o)) {
            *error = "the patch folder " + Printable(out) + " and the release " + Printable(r) +
                     " overlap";
            return 0;
        }
    }
    const fs::file_status st = fs::symlink_status(out, ec);
    if (fs::exists(st) && !(fs::is_directory(st) && fs::is_empty(out, ec))) {
        *error = Printable(out) + " exists and is not an empty folder";
        return 0;
    }
    if (!fs::is_directory(FolderOf(out), ec)) {
        *error = "the folder of " + Printable(out) + " does not exist";
        return 0;
    }
    return 1;
}

// A [SETUP] value: the option's, else the new release's SETUP.INI's.
int SetupValue(const std::vector<IniSection>& setup, const char* key, const std::string& option,
               const char* flag, std::string* value, std::string* error) {
    if (!option.empty()) {
        if (!Utf8ToCp932(option, value)) {
            *error = std::string(flag) + " " + option + " has no CP932 form";
            return 0;
        }
        return 1;
    }
    if (IniValue(setup, "SETUP", key, value))
        return 1;
    *error = std::string("the new release's SETUP.INI gives no ") + key + ": give " + flag;
    return 0;
}

std::string Bytes(uint64_t n) {
    const char* units[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
    if (n < 1024)
        return std::to_string(n) + " bytes";
    double v = (double)n;
    int u = 0;
    while (v >= 1024 && u < 4) {
        v /= 1024;
        ++u;
    }
    char text[32];
    snprintf(text, sizeof text, "%.1f %s", v, units[u]);
    return text;
}

} // namespace

int MatchesKeep(const std::string& pattern, const std::string& relative) {
    if (GlobMatch(pattern.c_str(), relative.c_str()))
        return 1;
    const bool folders = pattern.find_first_of("/\\") != std::string::npos;
    return !folders && GlobMatch(pattern.c_str(), FileName(relative).c_str());
}

namespace {

// The folders a relative path lies in, by their keys: "a/b/c.dat" gives "a" and "a/b".
std::vector<std::string> FolderKeys(const std::string& key) {
    std::vector<std::string> folders;
    for (size_t slash = key.find('/'); slash != std::string::npos; slash = key.find('/', slash + 1))
        folders.push_back(key.substr(0, slash));
    return folders;
}

// Everything that can be judged from the releases' names alone, before a byte is read or
// written: the patch folder's place, the new release's SETUP.INI, the --keep patterns, a file
// and a folder of one name, what a deletion may not remove.
int CheckBeforeReading(const DiffOptions& options, const std::vector<Tree>& olds, const Tree& now,
                       std::string* error) {
    if (!options.out.empty()) {
        std::vector<fs::path> all = options.from;
        all.push_back(options.to);
        if (!CheckPatchFolder(options.out, all, error))
            return 0;
    }
    if (!now.files.count("setup.ini")) {
        *error = "the new release " + Printable(options.to) +
                 " holds no SETUP.INI in its top folder: it is incomplete (give the release as "
                 "installed, with the installer's SETUP.INI)";
        return 0;
    }
    for (const std::string& pattern : options.keep) {
        bool matched = false;
        for (const Tree* t : {&now})
            for (const auto& [key, f] : t->files)
                matched = matched || MatchesKeep(pattern, f.relative);
        for (const Tree& t : olds)
            for (const auto& [key, f] : t.files)
                matched = matched || MatchesKeep(pattern, f.relative);
        if (!matched) {
            *error = "--keep " + pattern + " matches no file of any release (a typo?)";
            return 0;
        }
    }
    for (const Tree& t : olds) {
        const auto ini = t.files.find("update.ini");
        if (ini != t.files.end() && !Kept(options, ini->second.relative)) {
            *error = Printable(t.root) + " holds UPDATE.INI in its top folder, which the patch " +
                     "would delete; leave it alone with --keep UPDATE.INI";
            return 0;
        }
    }
    // A file and a folder of one name: the updater trades the one for the other, deleting first,
    // but only what the patch deletes. A file left alone cannot give way to a folder, and a
    // folder keeps its place while anything the patch does not delete is in it (a file left
    // alone, a folder holding no file), on every installation.
    for (const Tree& t : olds) {
        for (const auto& [key, f] : t.files) {
            if (now.folders.count(key) && Kept(options, f.relative)) {
                *error = f.relative + " is a file in " + Printable(t.root) + " and a folder in " +
                         Printable(options.to) + ", but --keep leaves the file alone: the " +
                         "folder cannot take its place";
                return 0;
            }
        }
        for (const auto& [key, relative] : t.folders) {
            std::string traded;
            for (const std::string& folder : FolderKeys(key + "/"))
                if (now.files.count(folder))
                    traded = now.files.at(folder).relative;
            if (traded.empty())
                continue;
            bool emptied = false;
            for (auto f = t.files.lower_bound(key + "/");
                 f != t.files.end() && f->first.compare(0, key.size() + 1, key + "/") == 0; ++f) {
                if (Kept(options, f->second.relative)) {
                    *error = traded + " is a folder in " + Printable(t.root) + " and a file in " +
                             Printable(options.to) + ", but --keep leaves " + f->second.relative +
                             " in it: the folder cannot give way to the file";
                    return 0;
                }
                emptied = true;
            }
            if (!emptied) {
                *error = traded + " is a folder in " + Printable(t.root) + " and a file in " +
                         Printable(options.to) + ", but the folder " + relative +
                         " holds no file the patch could delete: it cannot give way to the file";
                return 0;
            }
        }
    }
    return 1;
}

} // namespace

int DiffReleases(const DiffOptions& options, ReleaseDiff* diff, std::string* error) {
    *diff = ReleaseDiff();
    if (options.from.empty()) {
        *error = "diff: give at least one older release with --from";
        return 0;
    }
    std::vector<Tree> olds(options.from.size());
    Tree now;
    Reader reader{&options};
    for (size_t i = 0; i < olds.size(); ++i)
        if (!ListTree(options.from[i], &olds[i], error))
            return 0;
    if (!ListTree(options.to, &now, error))
        return 0;
    if (!CheckBeforeReading(options, olds, now, error))
        return 0;

    // Removed: in some older release, gone from the new one. Their names, and those of the
    // files that surely travel, are judged before anything is read.
    std::map<std::string, std::string> removed; // key -> item path
    for (size_t i = 0; i < olds.size(); ++i) {
        for (const auto& [key, f] : olds[i].files) {
            if (now.files.count(key) || Kept(options, f.relative) || removed.count(key))
                continue;
            std::string path;
            if (!ItemPath(f.relative, &path, error))
                return 0;
            removed[key] = path;
        }
    }
    for (const auto& [key, f] : now.files) {
        bool surely = false;
        for (const Tree& t : olds)
            surely = surely || !t.files.count(key);
        std::string path;
        if (surely && !Kept(options, f.relative) && !ItemPath(f.relative, &path, error))
            return 0;
    }
    std::vector<IniSection> setup;
    {
        std::vector<uint8_t> text;
        if (!ReadHostFile(now.files.at("setup.ini").path, &text, error))
            return 0;
        setup = ParseIni(std::string(text.begin(), text.end()));
    }
    IniContent ini;
    if (!SetupValue(setup, "CompanyName", options.companyName, "--company", &ini.companyName,
                    error) ||
        !SetupValue(setup, "GameTitle", options.gameTitle, "--title", &ini.gameTitle, error) ||
        !SetupValue(setup, "GameClass", options.gameClass, "--game-class", &ini.gameClass, error) ||
        !SetupValue(setup, "GameDir", options.gameDir, "--game-dir", &ini.gameDir, error))
        return 0;

    // The work is done in a folder of its own beside the patch folder, which takes its name
    // only at the end: a failure or an interruption leaves nothing at -o.
    OwnedFolder work;
    if (!options.out.empty() && !work.Make(FolderOf(options.out), error))
        return 0;
    const fs::path into = work.path();

    std::set<std::string> kept;
    for (const Tree* t : {&now}) {
        for (const auto& [key, f] : t->files)
            reader.total += f.size;
    }
    for (const Tree& t : olds)
        for (const auto& [key, f] : t.files)
            if (!Kept(options, f.relative))
                reader.total += f.size;
    for (Tree& t : olds) {
        for (auto& [key, f] : t.files) {
            if (Kept(options, f.relative)) {
                kept.insert(key);
                continue;
            }
            if (!ReadOnce(&f, &reader, nullptr, nullptr, error))
                return 0;
        }
    }

    // The new release, each file read once: hashed, and copied to the patch folder as it is
    // read when some older release lacks it or holds it at another size. A file every older
    // release holds at its size is kept in memory while it is hashed, up to kHoldLimit, in case
    // its bytes differ; only a larger one that does is read a second time.
    diff->releases.resize(olds.size());
    for (size_t i = 0; i < olds.size(); ++i)
        diff->releases[i].name = Printable(options.from[i].filename());
    const uint64_t kHoldLimit = 64u << 20;
    std::vector<uint8_t> held;
    uint64_t newest = 0; // UPDATE.INI's time: the same releases give the same patch
    for (auto& [key, f] : now.files) {
        uint64_t time = 0;
        if (!LastWriteFileTime(f.path, &time, error))
            return 0;
        newest = std::max(newest, time);
        if (Kept(options, f.relative)) {
            kept.insert(key);
            reader.Advance(f.size);
            for (ReleaseCounts& c : diff->releases)
                c.files.push_back(PlanFile{f.relative, "kept", f.size});
            continue;
        }
        bool surely = false;
        for (const Tree& t : olds) {
            const auto old = t.files.find(key);
            surely = surely || old == t.files.end() || old->second.size != f.size;
        }
        const fs::path target = into.empty() ? fs::path() : into / fs::u8path(f.relative);
        std::error_code ec;
        std::ofstream out;
        if (!target.empty() && surely) {
            fs::create_directories(target.parent_path(), ec);
            out.open(target, std::ios::binary | std::ios::trunc);
            if (!out) {
                *error = "cannot write " + Printable(target);
                return 0;
            }
        }
        const bool holding = !target.empty() && !surely && f.size <= kHoldLimit;
        held.clear();
        if (!ReadOnce(&f, &reader, out.is_open() ? &out : nullptr, holding ? &held : nullptr,
                      error))
            return 0;
        bool needed = false;
        for (size_t i = 0; i < olds.size(); ++i) {
            ReleaseCounts& c = diff->releases[i];
            const auto old = olds[i].files.find(key);
            const char* status;
            if (old == olds[i].files.end()) {
                ++c.added;
                c.addedBytes += f.size;
                needed = true;
                status = "added";
            } else if (old->second.digest == f.digest) {
                ++c.unchanged;
                c.unchangedBytes += f.size;
                status = "unchanged";
            } else {
                ++c.changed;
                c.changedBytes += f.size;
                needed = true;
                status = "changed";
            }
            c.files.push_back(PlanFile{f.relative, status, f.size});
        }
        if (!needed)
            continue;
        PatchFile p{f.path, f.relative, std::string(), f.size};
        if (!ItemPath(f.relative, &p.itemPath, error))
            return 0;
        // A file that lies in a folder some older release lacks needs the folder made; one that
        // takes the place of a folder needs the same feature to remove it.
        for (const std::string& folder : FolderKeys(key))
            for (const Tree& t : olds)
                diff->newFolders = diff->newFolders || !t.folders.count(folder);
        for (const Tree& t : olds)
            diff->newFolders = diff->newFolders || t.folders.count(key);
        if (!target.empty()) {
            if (out.is_open()) {
                out.close();
                if (!out) {
                    *error = "cannot write " + Printable(target);
                    return 0;
                }
            } else if (holding) {
                fs::create_directories(target.parent_path(), ec);
                if (!WriteHostFile(target, held.data(), held.size(), nullptr, error))
                    return 0;
            } else {
                fs::create_directories(target.parent_path(), ec);
                if (!fs::copy_file(f.path, target, fs::copy_options::overwrite_existing, ec)) {
                    *error = "cannot copy " + Printable(f.path) + ": " + ec.message();
                    return 0;
                }
            }
            if (!SetLastWriteFileTime(target, time, error))
                return 0;
        }
        diff->files.push_back(p);
    }
    diff->kept = kept.size();

    // The version check: a file whose bytes are the same in every older release and the new
    // one, the game's program first; never one the patch deletes or changes.
    std::vector<std::string> common, unchanged;
    for (const auto& [key, f] : olds[0].files) {
        const auto nowFile = now.files.find(key);
        bool everywhere = !Kept(options, f.relative) && nowFile != now.files.end();
        bool same = everywhere;
        for (const Tree& t : olds) {
            const auto old = t.files.find(key);
            everywhere = everywhere && old != t.files.end();
            same = same && everywhere && old->second.digest == nowFile->second.digest;
        }
        if (everywhere)
            common.push_back(key);
        if (same)
            unchanged.push_back(key);
    }
    std::string gameExe, checked;
    if (IniValue(setup, "SETUP", "GameExe", &gameExe)) {
        std::string utf8;
        std::replace(gameExe.begin(), gameExe.end(), '\\', '/');
        if (Cp932ToUtf8(gameExe, &utf8) &&
            std::find(unchanged.begin(), unchanged.end(), Key(utf8)) != unchanged.end())
            checked = Key(utf8);
    }
    if (checked.empty() && !unchanged.empty())
        checked = unchanged[0];
    if (!checked.empty()) {
        if (!ItemPath(olds[0].files[checked].relative, &diff->versionCheck, error))
            return 0;
    } else if (common.empty()) {
        diff->told.push_back("no file is in every older release: the patch makes no version "
                             "check, and runs on any installation of the game");
    } else {
        diff->told.push_back("every file that is in every older release is changed or deleted by "
                             "the patch: it makes no version check, and runs on any installation "
                             "of the game");
    }

    for (size_t i = 0; i < olds.size(); ++i) {
        for (const auto& [key, f] : olds[i].files) {
            if (now.files.count(key))
                continue;
            const bool leftAlone = Kept(options, f.relative);
            diff->releases[i].files.push_back(
                PlanFile{f.relative, leftAlone ? "kept" : "removed", f.size});
            if (leftAlone)
                continue;
            ++diff->releases[i].removed;
            diff->releases[i].removedBytes += f.size;
        }
        std::sort(diff->releases[i].files.begin(), diff->releases[i].files.end(),
                  [](const PlanFile& a, const PlanFile& b) { return Key(a.path) < Key(b.path); });
    }
    for (const auto& [key, path] : removed)
        diff->deletes.push_back(path);

    // Entries carry file names alone unless two files of one name travel, or one would take
    // the name of the patch's own UPDATE.INI.
    std::set<std::string> names = {"UPDATE.INI"};
    for (const PatchFile& p : diff->files) {
        const std::string name = FoldName(p.itemPath.substr(NameOffset(p.itemPath)));
        if (FoldName(p.itemPath) == "UPDATE.INI") {
            *error = "the new release holds UPDATE.INI in its top folder, the name of the patch's "
                     "own; leave it out with --keep UPDATE.INI";
            return 0;
        }
        diff->folderNames = diff->folderNames || !names.insert(name).second;
    }

    if (!diff->versionCheck.empty())
        ini.updates.push_back("e," + diff->versionCheck);
    for (const PatchFile& p : diff->files)
        ini.updates.push_back(p.itemPath);
    ini.deletes = diff->deletes;
    ini.createFolders = diff->newFolders;
    if (ini.updates.size() > (size_t)kLongListKeys || ini.deletes.size() > (size_t)kLongListKeys) {
        *error = "the patch would need more than " + std::to_string(kLongListKeys) +
                 " update or delete items; make two patches";
        return 0;
    }
    if (diff->files.empty() && diff->deletes.empty()) {
        *error = "the releases do not differ: there is no patch to make";
        return 0;
    }
    diff->ini = WriteUpdateIni(ini);
    if (!into.empty() && (!WriteHostFile(into / "UPDATE.INI", (const uint8_t*)diff->ini.data(),
                                         diff->ini.size(), &newest, error) ||
                          !work.MoveTo(options.out, error)))
        return 0;
    return 1;
}

std::string DescribeDiff(const ReleaseDiff& diff) {
    std::string text;
    for (const ReleaseCounts& c : diff.releases) {
        text += "from " + c.name + ": " + std::to_string(c.changed) + " changed (" +
                Bytes(c.changedBytes) + "), " + std::to_string(c.added) + " new (" +
                Bytes(c.addedBytes) + "), " + std::to_string(c.removed) + " removed (" +
                Bytes(c.removedBytes) + "), " + std::to_string(c.unchanged) + " unchanged (" +
                Bytes(c.unchangedBytes) + ")\n";
    }
    uint64_t bytes = 0;
    for (const PatchFile& p : diff.files)
        bytes += p.size;
    text += "patch: " + std::to_string(diff.files.size()) + " files to write (" + Bytes(bytes) +
            "), " + std::to_string(diff.deletes.size()) + " to delete";
    if (diff.kept)
        text += ", " + std::to_string(diff.kept) + " left alone by --keep";
    text += diff.versionCheck.empty() ? "; no version check"
                                      : "; version check: " + ShownCp932(diff.versionCheck);
    if (diff.folderNames)
        text += "; files of one name in several folders: the entries carry their folders";
    text += "\n";
    for (const std::string& t : diff.told)
        text += t + "\n";
    return text;
}

std::string DescribePlanFiles(const ReleaseDiff& diff) {
    std::string text;
    for (const ReleaseCounts& c : diff.releases) {
        text += "from " + c.name + ":\n";
        for (const PlanFile& f : c.files)
            text += "  " + std::string(f.status) + std::string(10 - strlen(f.status), ' ') +
                    std::to_string(f.size) + "\t" + EscapeControls(f.path, true) + "\n";
    }
    return text;
}

namespace {

std::string Json(const std::string& utf8) {
    std::string out = "\"";
    for (const char ch : utf8) {
        const unsigned char c = (unsigned char)ch;
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

std::string JsonCp932(const std::string& cp932) {
    std::string utf8;
    return Json(Cp932ToUtf8(cp932, &utf8) ? utf8 : ShownCp932(cp932));
}

} // namespace

std::string PlanJson(const ReleaseDiff& diff) {
    std::string text = "{\n  \"releases\": [";
    for (size_t r = 0; r < diff.releases.size(); ++r) {
        const ReleaseCounts& c = diff.releases[r];
        text += std::string(r ? "," : "") + "\n    {\"name\": " + Json(c.name) + ", \"files\": [";
        for (size_t i = 0; i < c.files.size(); ++i)
            text += std::string(i ? "," : "") + "\n      {\"path\": " + Json(c.files[i].path) +
                    ", \"status\": \"" + c.files[i].status +
                    "\", \"size\": " + std::to_string(c.files[i].size) + "}";
        text += "]}";
    }
    text += "],\n  \"write\": [";
    for (size_t i = 0; i < diff.files.size(); ++i)
        text += std::string(i ? ", " : "") + JsonCp932(diff.files[i].itemPath);
    text += "],\n  \"delete\": [";
    for (size_t i = 0; i < diff.deletes.size(); ++i)
        text += std::string(i ? ", " : "") + JsonCp932(diff.deletes[i]);
    text += "],\n  \"versionCheck\": " +
            (diff.versionCheck.empty() ? std::string("null") : JsonCp932(diff.versionCheck)) +
            ",\n  \"folderNames\": " + (diff.folderNames ? "true" : "false") +
            ",\n  \"createFolders\": " + (diff.newFolders ? "true" : "false") + "\n}\n";
    return text;
}
