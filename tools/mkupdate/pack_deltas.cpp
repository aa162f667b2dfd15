#include "mkupdate/pack_deltas.h"

#include <string.h>

#include <algorithm>
#include <set>

#include "archive/file_sample.h"
#include "archive/payload_deltas.h"
#include "archive/payload_large.h"
#include "mkupdate/host_files.h"
#include "payload/archive_writer.h"
#include "payload/compress.h"
#include "payload/delta_encode.h"
#include "payload/mapped_file.h"

namespace {

bool IsLead(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// The parts of a CP932 path between single-byte backslashes and slashes, the empty ones and "."
// left out.
std::vector<std::string> PathParts(const std::string& path) {
    std::vector<std::string> parts;
    std::string part;
    for (size_t i = 0; i <= path.size(); ++i) {
        const unsigned char c = i < path.size() ? (unsigned char)path[i] : 0;
        if (c && IsLead(c) && i + 1 < path.size()) {
            part += path.substr(i++, 2);
            continue;
        }
        if (c && c != '\\' && c != '/') {
            part += (char)c;
            continue;
        }
        if (!part.empty() && part != ".")
            parts.push_back(part);
        part.clear();
    }
    return parts;
}

// The name in folder that is part, or else the one name there that differs from it only in
// ASCII letter case; part itself when there is neither.
std::filesystem::path FindPart(const std::filesystem::path& folder, const std::string& part,
                               const std::filesystem::path& asWritten) {
    std::error_code ec;
    if (std::filesystem::exists(folder / asWritten, ec))
        return folder / asWritten;
    const std::string folded = FoldName(part);
    std::filesystem::path found;
    int matches = 0;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
         it.increment(ec)) {
        std::string name;
        if (NameInCodePage932(it->path(), &name) && FoldName(name) == folded) {
            found = it->path();
            ++matches;
        }
    }
    return matches == 1 ? found : folder / asWritten;
}

// The whole entry's stored size, counted only as far as a comparison needs: a file of many GiB
// is not compressed whole to learn that a delta of a few KiB is smaller.
class WholeStored {
  public:
    WholeStored(const FileBytes& file, CompressLevel level) : file_(file), level_(level) {}
    // 1 when the whole entry stores larger than n bytes.
    bool LargerThan(uint64_t n) {
        if (!exact_ && counted_ <= n) {
            counted_ = StoredSizeOf(file_.data, file_.size, level_, kPlaceOver, kDefaultChunkSize,
                                    n, file_.release);
            // One stream is counted whole; chunks only up to n.
            exact_ = file_.size <= kPlaceOver || counted_ <= n;
        }
        return counted_ > n;
    }
    std::string Told() const { return (exact_ ? "" : "more than ") + Bytes(counted_); }

  private:
    static std::string Bytes(uint64_t n) {
        return std::to_string(n) + (n == 1 ? " byte" : " bytes");
    }
    const FileBytes& file_;
    CompressLevel level_;
    uint64_t counted_ = 0;
    bool exact_ = false;
};

// Bases are hashed this much at a time, their pages let go after each piece.
const uint64_t kHashPiece = 64ull << 20;

std::string Bytes(uint64_t n) {
    return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

// A base already met for the file being planned, by its digest: the delta made from it, or -1
// when it gave none.
struct SeenBase {
    uint8_t digest[kSha256Size];
    long delta;
    std::string where;
};

} // namespace

std::map<std::string, EntryTargets> TargetsByEntry(const std::vector<UpdateItemFields>& items) {
    std::map<std::string, EntryTargets> targets;
    for (const UpdateItemFields& item : items) {
        if (item.rule == kRuleCheck || item.name.empty())
            continue;
        // An entry named by its path (folder names) is found under the path as well.
        for (const std::string* key : {&item.name, &item.path}) {
            if (key == &item.path && item.path == item.name)
                break;
            EntryTargets& t = targets[FoldName(*key)];
            if (item.rule == kRuleData) {
                t.data = true;
                continue;
            }
            bool known = false;
            for (const std::string& p : t.paths)
                known = known || p == item.path;
            if (!known) {
                t.paths.push_back(item.path);
                t.rules.push_back(item.rule);
            }
        }
    }
    return targets;
}

int InstalledFile(const std::filesystem::path& folder, const std::string& dataFolder,
                  const std::string& itemPath, std::filesystem::path* file) {
    std::vector<std::string> parts = PathParts(dataFolder);
    const std::vector<std::string> item = PathParts(itemPath);
    parts.insert(parts.end(), item.begin(), item.end());
    if (parts.empty())
        return 0;
    std::filesystem::path at = folder;
    for (const std::string& part : parts) {
        std::string utf8;
        // Windows drops trailing dots and blanks, so a part of dots and blanks is ".." or worse.
        if (part.find_first_not_of(". ") == std::string::npos || !Cp932ToUtf8(part, &utf8))
            return 0;
        at = FindPart(at, part, std::filesystem::u8path(utf8));
    }
    *file = at;
    return 1;
}

// The first link on the way from base to file (file included) that leads out of base, as a
// link in the patch folder would; 0 when there is none.
static int LinkLeavingBase(const std::filesystem::path& base, const std::filesystem::path& file,
                           std::filesystem::path* link) {
    std::error_code ec;
    const std::filesystem::path root = std::filesystem::canonical(base, ec);
    if (ec)
        return 0;
    std::filesystem::path at = base;
    for (const std::filesystem::path& part : file.lexically_relative(base)) {
        at /= part;
        if (!std::filesystem::is_symlink(at, ec))
            continue;
        const std::filesystem::path to = std::filesystem::weakly_canonical(at, ec);
        const std::filesystem::path inside = to.lexically_relative(root);
        if (ec || inside.empty() || *inside.begin() == "..") {
            *link = at;
            return 1;
        }
    }
    return 0;
}

int PlanDeltas(const std::vector<SourceFile>& files, const std::vector<FileBytes>& contents,
               const std::vector<std::filesystem::path>& bases, bool fallback, CompressLevel level,
               DeltaPlan* plan, std::string* error) {
    plan->deltas.clear();
    plan->told.clear();
    plan->wholeLeftOut.assign(files.size(), 0);
    std::vector<IniSection> ini;
    for (size_t i = 0; i < files.size(); ++i)
        if (files[i].name == "UPDATE.INI")
            ini = ParseIni(std::string((const char*)contents[i].data, (size_t)contents[i].size));
    std::string dataFolder, value;
    IniValue(ini, "SETUP", "DataFolder", &dataFolder);
    // The updater reads these itself, by name, before any item is written.
    std::set<std::string> startUp = {"UPDATE.INI"};
    for (const char* key : {"AgreementText", "AgreementTitle"})
        if (IniValue(ini, "SETUP", key, &value))
            startUp.insert(FoldName(value));
    const std::map<std::string, EntryTargets> targets = TargetsByEntry(ReadUpdateItems(ini));

    for (size_t i = 0; i < files.size(); ++i) {
        const auto t = targets.find(FoldName(files[i].name));
        if (t == targets.end() || (t->second.paths.empty() && !t->second.data))
            continue;
        const std::string who = ShownCp932(files[i].name) + ": ";
        if (t->second.data) {
            plan->told.push_back(who + "no deltas: a Data item uses it, which keeps the player's "
                                       "own copy and writes a missing one whole");
            continue;
        }
        if (startUp.count(FoldName(files[i].name))) {
            plan->told.push_back(who + "no deltas: the updater reads it whole at start-up");
            continue;
        }
        WholeStored wholeStored(contents[i], level);
        const size_t first = plan->deltas.size();
        bool needWhole = false;
        std::vector<SeenBase> seen;
        for (const std::filesystem::path& base : bases) {
            for (const std::string& path : t->second.paths) {
                const std::string from = "from " + Printable(base) + " (" + ShownCp932(path) + ")";
                std::filesystem::path file;
                std::error_code ec;
                if (!InstalledFile(base, dataFolder, path, &file) ||
                    !std::filesystem::exists(file, ec)) {
                    plan->told.push_back(who + "no delta " + from + ": no such file there");
                    needWhole = true;
                    continue;
                }
                // A folder that the patch replaces with a file (its files deleted) is no base.
                if (std::filesystem::is_directory(std::filesystem::symlink_status(file, ec))) {
                    plan->told.push_back(who + "no delta " + from + ": a folder there");
                    needWhole = true;
                    continue;
                }
                std::filesystem::path link;
                if (LinkLeavingBase(base, file, &link)) {
                    *error = "base of " + ShownCp932(files[i].name) + ": " + Printable(link) +
                             " is a link that leads out of " + Printable(base);
                    return 0;
                }
                // The base is read through a mapping whose pages go again as the encoder moves
                // on, so that a base of many GiB is never held in memory.
                std::string why;
                MappedFile mapped;
                if (!CanReadHostFile(file, &why) || !mapped.Open(file, &why)) {
                    *error = "base of " + ShownCp932(files[i].name) + ": " + why;
                    return 0;
                }
                // A delta from the result itself is refused: an installation holding the new
                // file keeps it without one, and such a delta must never stand in for the whole
                // entry (the patch folder named as its own base would leave nothing else).
                bool equal = mapped.size() == contents[i].size;
                for (uint64_t at = 0; equal && at < mapped.size(); at += kHashPiece) {
                    const uint64_t n = std::min<uint64_t>(kHashPiece, mapped.size() - at);
                    equal = memcmp(mapped.data() + at, contents[i].data + at, (size_t)n) == 0;
                    mapped.Release();
                    if (contents[i].release)
                        contents[i].release();
                }
                if (equal) {
                    plan->told.push_back(who + "no delta " + from +
                                         ": the base already holds the new file");
                    continue;
                }
                SeenBase now;
                Sha256Context sha;
                Sha256Init(&sha);
                for (uint64_t at = 0; at < mapped.size(); at += kHashPiece) {
                    Sha256Update(&sha, mapped.data() + at,
                                 (size_t)std::min<uint64_t>(kHashPiece, mapped.size() - at));
                    mapped.Release();
                }
                Sha256Final(&sha, now.digest);
                now.where = Printable(base);
                const SeenBase* same = nullptr;
                for (const SeenBase& s : seen)
                    if (memcmp(s.digest, now.digest, kSha256Size) == 0)
                        same = &s;
                if (same) {
                    char name[kDeltaEntryNameCapacity];
                    DeltaEntryName((uint32_t)same->delta, name);
                    plan->told.push_back(
                        who + "the base " + from + " is the one of " + same->where +
                        (same->delta < 0 ? std::string(": no delta") : std::string(": ") + name));
                    needWhole = needWhole || same->delta < 0;
                    continue;
                }
                PackDelta delta;
                delta.file = i;
                delta.baseSize = mapped.size();
                memcpy(delta.baseDigest, now.digest, kSha256Size);
                SampleOfMemory(mapped.data(), mapped.size(), delta.baseSample);
                DeltaEncodeOptions options;
                const FileBytes& result = contents[i];
                options.release = [&mapped, &result]() {
                    mapped.Release();
                    if (result.release)
                        result.release();
                };
                if (!EncodeDelta(mapped.data(), mapped.size(), result.data, result.size, options,
                                 &delta.bytes)) {
                    *error = "cannot make a delta of " + ShownCp932(files[i].name) + " " + from;
                    return 0;
                }
                const uint64_t stored = StoredSizeOf(delta.bytes.data(), delta.bytes.size(), level,
                                                     kPlaceOver, kDefaultChunkSize);
                if (!wholeStored.LargerThan(stored)) {
                    plan->told.push_back(who + "no delta " + from + ": " + Bytes(stored) +
                                         ", not smaller than the whole entry's " +
                                         wholeStored.Told());
                    now.delta = -1;
                    seen.push_back(now);
                    needWhole = true;
                    continue;
                }
                char name[kDeltaEntryNameCapacity];
                DeltaEntryName((uint32_t)plan->deltas.size(), name);
                plan->told.push_back(who + name + " " + from + ", base " + Bytes(mapped.size()) +
                                     ": " + Bytes(stored) + " instead of the whole entry's " +
                                     wholeStored.Told());
                now.delta = (long)plan->deltas.size();
                seen.push_back(now);
                plan->deltas.push_back(std::move(delta));
            }
        }
        if (plan->deltas.size() == first)
            continue;
        if (fallback || needWhole) {
            plan->told.push_back(
                who + "the whole entry travels too (" +
                (fallback ? std::string("--fallback") : std::string("not every base has a delta")) +
                ")");
        } else {
            plan->wholeLeftOut[i] = 1;
            plan->told.push_back(who + "travels only as deltas: the whole entry (" +
                                 wholeStored.Told() + ") is left out");
        }
    }
    return 1;
}
