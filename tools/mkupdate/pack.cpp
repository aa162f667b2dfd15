#include "mkupdate/pack.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>

#include "archive/archive_format.h"
#include "archive/delta_apply.h"
#include "archive/file_sample.h"
#include "archive/payload_deltas.h"
#include "archive/payload_features.h"
#include "archive/payload_large.h"
#include "core/path_form.h"
#include "mkupdate/host_files.h"
#include "mkupdate/pack_deltas.h"
#include "mkupdate/pack_volumes.h"
#include "mkupdate/temp_output.h"
#include "mkupdate/update_ini.h"
#include "payload/archive_writer.h"
#include "payload/mapped_file.h"

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

std::string WindowsNameProblem(const std::string& name) {
    switch (CheckNameForm(name.c_str(), name.size(), Cp932CharStep)) {
    case kNameExact:
        return std::string();
    case kNameEmpty:
        return "is empty";
    case kNameControlByte:
        return "holds a control character";
    case kNameForbiddenByte:
        for (size_t i = 0; i < name.size(); i = (size_t)(Cp932CharStep(&name[i]) - name.c_str()))
            if (strchr("<>:\"/\\|?*", name[i]) && Cp932CharStep(&name[i]) == &name[i] + 1)
                return std::string("holds '") + name[i] +
                       "', which Windows does not allow in names";
        return "holds a byte Windows does not allow in names";
    case kNameTrailingDot:
        return name == "." || name == ".." ? "is no file name"
                                           : "ends in a dot or a space, which Windows drops";
    case kNameDevice: {
        std::string base = FoldName(name.substr(0, name.find('.')));
        while (!base.empty() && base.back() == ' ')
            base.pop_back();
        return "is a device name on Windows (" + ShownCp932(base) + ")";
    }
    case kNameShortAlias:
        return "has the form of a short alias (" + ShownCp932(name) +
               "), which the updater refuses as not an exact name";
    case kNameBrokenChar:
        break;
    }
    return "ends in half a double-byte character";
}

std::string EntryNameProblem(const std::string& name) {
    size_t start = 0;
    for (size_t i = 0; i <= name.size(); ++i) {
        const unsigned char c = i < name.size() ? (unsigned char)name[i] : 0;
        if ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC)) {
            ++i;
            continue;
        }
        if (i < name.size() && c != '\\')
            continue;
        const std::string why = WindowsNameProblem(name.substr(start, i - start));
        if (!why.empty())
            return start == 0 && i == name.size() ? why : "has a part that " + why;
        start = i + 1;
    }
    return std::string();
}

int CollectFiles(const std::filesystem::path& dir, const std::filesystem::path& leaveOut,
                 std::vector<SourceFile>* files, std::vector<std::string>* problems,
                 std::vector<std::string>* leftOut, bool* folderNames) {
    std::error_code ec;
    const auto problem = [&](const std::string& text) { problems->push_back(text); };
    std::filesystem::file_status top = std::filesystem::status(dir, ec);
    if (ec || !std::filesystem::is_directory(top)) {
        problem(Printable(dir) + " is not a folder");
        return 0;
    }
    std::filesystem::recursive_directory_iterator it(dir, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const std::filesystem::path path = it->path();
        const std::filesystem::file_status st = it->symlink_status(ec);
        if (ec) {
            problem("cannot read " + Printable(path) + ": " + ec.message());
            ec.clear();
            continue;
        }
        // Links and special files are refused, not followed or skipped: a link could bring in
        // a file from anywhere, and a file left out without a word would be missing from the
        // update.
        if (std::filesystem::is_symlink(st)) {
            problem(Printable(path) +
                    " is a symbolic link: the patch folder may hold only files and folders");
            continue;
        }
        if (std::filesystem::is_directory(st))
            continue;
        if (!std::filesystem::is_regular_file(st)) {
            problem(Printable(path) +
                    " is no regular file (a FIFO, socket or device): the patch folder may hold "
                    "only files and folders");
            continue;
        }
        std::error_code same;
        if (!leaveOut.empty() && std::filesystem::equivalent(path, leaveOut, same)) {
            leftOut->push_back(Printable(path) + ": the output being written");
            continue;
        }
        if (IsTemporaryName(path)) {
            leftOut->push_back(Printable(path) + ": a temporary file mkupdate left");
            continue;
        }
        // The output's volumes beside it: the build writes them anew.
        if (!leaveOut.empty() &&
            IsVolumeName(Printable(leaveOut.stem()), Printable(path.filename())) &&
            std::filesystem::equivalent(
                path.parent_path(), leaveOut.parent_path().empty() ? "." : leaveOut.parent_path(),
                same)) {
            leftOut->push_back(Printable(path) + ": a volume of the output being written");
            continue;
        }
        SourceFile f;
        f.path = path;
        f.sortKey = Printable(std::filesystem::relative(f.path, dir, ec));
        ec.clear();
        std::string error;
        if (!CanReadHostFile(f.path, &error)) {
            problem(error);
            continue;
        }
        if (!NameInCodePage932(f.path, &f.name)) {
            problem("the file name of " + Printable(f.path) + " cannot be written in CP932");
            continue;
        }
        if (f.name.size() >= kEntryNameSize) {
            problem("the file name of " + Printable(f.path) + " is longer than 259 bytes");
            continue;
        }
        const std::string why = WindowsNameProblem(f.name);
        if (!why.empty()) {
            problem("the file name of " + Printable(f.path) + " " + why);
            continue;
        }
        if (FoldName(f.name) == "UPDATE.INI")
            f.name = "UPDATE.INI";
        files->push_back(f);
    }
    if (ec)
        problem("cannot read the folder " + Printable(dir) + ": " + ec.message());
    std::sort(files->begin(), files->end(),
              [](const SourceFile& a, const SourceFile& b) { return a.sortKey < b.sortKey; });
    // A file and a folder whose names differ only in letter case are one name on Windows.
    const auto fold = [](std::string utf8) {
        for (char& c : utf8)
            c = c >= 'a' && c <= 'z' ? (char)(c - 'a' + 'A') : c == '\\' ? '/' : c;
        return utf8;
    };
    std::map<std::string, std::string> folders; // folded relative folder -> as spelled
    for (const SourceFile& f : *files) {
        const std::string key = fold(f.sortKey);
        for (size_t slash = key.find('/'); slash != std::string::npos;
             slash = key.find('/', slash + 1))
            folders.emplace(key.substr(0, slash), f.sortKey.substr(0, slash));
    }
    for (const SourceFile& f : *files) {
        const auto folder = folders.find(fold(f.sortKey));
        if (folder != folders.end())
            problem("the file " + f.sortKey + " and the folder " + folder->second +
                    " are one name on Windows, which cannot hold both");
    }
    std::map<std::string, std::string> seen;
    bool collide = false;
    for (const SourceFile& f : *files)
        collide = collide || !seen.emplace(FoldName(f.name), f.sortKey).second;
    if (collide && folderNames && problems->empty()) {
        *folderNames = true;
        for (SourceFile& f : *files) {
            std::string relative = f.sortKey, path;
            std::replace(relative.begin(), relative.end(), '/', '\\');
            if (f.name == "UPDATE.INI" && relative.find('\\') == std::string::npos)
                continue;
            if (!Utf8ToCp932(relative, &path))
                problem("the path of " + Printable(f.path) + " cannot be written in CP932");
            else if (path.size() >= kEntryNameSize)
                problem("the path of " + Printable(f.path) + " is longer than 259 bytes");
            f.name = path;
        }
    }
    seen.clear();
    for (const SourceFile& f : *files) {
        auto [at, fresh] = seen.emplace(FoldName(f.name), f.sortKey);
        if (!fresh)
            problem("two files would be one entry: " + at->second + " and " + f.sortKey);
    }
    return problems->empty() ? 1 : 0;
}

uint32_t FolderFeatures(const std::vector<SourceFile>& files, bool folderNames) {
    uint32_t features = folderNames ? PAYLOAD_FEATURE_FOLDER_NAMES : 0;
    for (const SourceFile& f : files) {
        std::vector<uint8_t> bytes;
        std::string error;
        if (f.name != "UPDATE.INI" || !ReadHostFile(f.path, &bytes, &error))
            continue;
        const std::vector<IniSection> ini = ParseIni(std::string(bytes.begin(), bytes.end()));
        if (ReadUpdateItems(ini).size() > (size_t)kListKeys)
            features |= PAYLOAD_FEATURE_LONG_LISTS;
        if (!ReadDeleteItems(ini).empty())
            features |= PAYLOAD_FEATURE_DELETIONS;
        std::string createFolders;
        if (IniValue(ini, "UPDATE", "CreateFolders", &createFolders) && createFolders == "1")
            features |= PAYLOAD_FEATURE_NEW_FOLDERS;
    }
    return features;
}

int PackFolder(const std::filesystem::path& dir, const std::filesystem::path& leaveOut,
               const PackOptions& options, std::vector<uint8_t>* image,
               std::vector<std::string>* leftOut, std::vector<std::string>* told,
               std::string* error, WrittenVolumes* volumes) {
    std::vector<SourceFile> files;
    std::vector<std::string> problems;
    bool folderNames = false;
    if (!CollectFiles(dir, leaveOut, &files, &problems, leftOut, &folderNames)) {
        *error = problems[0];
        if (problems.size() > 1)
            *error += " (and " + std::to_string(problems.size() - 1) +
                      " more problems; mkupdate check lists them)";
        return 0;
    }
    // A small file is read whole; a large one is mapped and its pages let go as they are
    // used, so that no large file is ever held whole, let alone twice.
    std::vector<std::vector<uint8_t>> read(files.size());
    std::vector<std::unique_ptr<MappedFile>> mapped(files.size());
    std::vector<FileBytes> contents(files.size());
    std::vector<uint64_t> times(files.size());
    for (size_t i = 0; i < files.size(); ++i) {
        std::error_code ec;
        const uint64_t size = std::filesystem::file_size(files[i].path, ec);
        if (!ec && size > kPlaceOver) {
            mapped[i].reset(new MappedFile);
            if (!mapped[i]->Open(files[i].path, error))
                return 0;
            MappedFile* m = mapped[i].get();
            contents[i] = FileBytes{m->data(), m->size(), [m]() { m->Release(); }};
        } else {
            if (!ReadHostFile(files[i].path, &read[i], error))
                return 0;
            contents[i] = FileBytes{read[i].data(), read[i].size(), nullptr};
        }
        if (!LastWriteFileTime(files[i].path, &times[i], error))
            return 0;
    }
    DeltaPlan plan;
    plan.wholeLeftOut.assign(files.size(), 0);
    if (!options.bases.empty() &&
        !PlanDeltas(files, contents, options.bases, options.fallback, options.level, &plan, error))
        return 0;
    // What the updater reads before it has checked any volume stays in the image.
    std::set<std::string> kept = {"UPDATE.INI"};
    for (size_t i = 0; i < files.size(); ++i) {
        if (files[i].name != "UPDATE.INI")
            continue;
        const std::vector<IniSection> ini =
            ParseIni(std::string((const char*)contents[i].data, (size_t)contents[i].size));
        std::string value;
        for (const char* key : {"AgreementText", "AgreementTitle"})
            if (IniValue(ini, "SETUP", key, &value))
                kept.insert(FoldName(value));
    }
    std::vector<ArchiveInput> entries;
    for (size_t i = 0; i < files.size(); ++i)
        if (!plan.wholeLeftOut[i])
            entries.push_back(
                ArchiveInput{files[i].name, contents[i].data, contents[i].size, times[i], true,
                             true, kept.count(FoldName(files[i].name)) != 0, contents[i].release});
    // The deltas after every file, in the order of their descriptors, so that the positions
    // the descriptors name rise.
    std::vector<uint8_t> descriptors, samples;
    uint32_t deltaFeatures = 0;
    for (size_t n = 0; n < plan.deltas.size(); ++n) {
        const PackDelta& d = plan.deltas[n];
        // A flagged delta (modeled streams) is announced, so that an updater that could not
        // apply it refuses the payload before writing; an unflagged one needs only deltas.
        DeltaInfo info;
        if (ReadDeltaInfo(d.bytes.data(), d.bytes.size(), &info) == kDeltaOk && info.flags)
            deltaFeatures |= PAYLOAD_FEATURE_MODELED_DELTAS;
        const FileBytes& result = contents[d.file];
        char name[kDeltaEntryNameCapacity];
        DeltaEntryName((uint32_t)n, name);
        uint8_t resultDigest[kSha256Size];
        Sha256Context sha;
        Sha256Init(&sha);
        for (uint64_t at = 0; at < result.size; at += kPlaceOver) {
            Sha256Update(&sha, result.data + at,
                         (size_t)std::min<uint64_t>(kPlaceOver, result.size - at));
            if (result.release)
                result.release();
        }
        Sha256Final(&sha, resultDigest);
        const PayloadDelta descriptor{(uint32_t)entries.size(),
                                      files[d.file].name.c_str(),
                                      times[d.file],
                                      d.baseSize,
                                      d.baseDigest,
                                      result.size,
                                      resultDigest};
        descriptors.resize(descriptors.size() + kDeltaDescriptorSize);
        WriteDeltaDescriptor(descriptor,
                             descriptors.data() + descriptors.size() - kDeltaDescriptorSize);
        // Beside each, the samples by which an updater knows the base, and the new file, without
        // reading either whole.
        samples.insert(samples.end(), d.baseSample, d.baseSample + kSha256Size);
        samples.resize(samples.size() + kSha256Size);
        SampleOfMemory(result.data, result.size, samples.data() + samples.size() - kSha256Size);
        entries.push_back(ArchiveInput{name, d.bytes.data(), d.bytes.size(), times[d.file], true,
                                       true, false, nullptr});
        entries.back().place = result.size > UINT32_MAX;
    }
    told->insert(told->end(), plan.told.begin(), plan.told.end());
    ArchiveOptions archive{kIndexCompressed | kIndexScrambled, options.level, true};
    // The integrity record last: the hashes of the index and of every file.
    archive.integrity = true;
    archive.requiredFeatures = FolderFeatures(files, folderNames) | deltaFeatures;
    archive.deltaDescriptors.swap(descriptors);
    archive.deltaSamples.swap(samples);
    archive.placeOver = kPlaceOver;
    archive.chunkSize = kDefaultChunkSize;
    if (!options.volumesFor.empty()) {
        VolumeOptions& v = archive.volumes;
        const std::filesystem::path out = options.volumesFor;
        v.imageLimit = options.imageLimit;
        v.volumeLimit = options.volumeLimit;
        v.folder = out.parent_path();
        v.stem = Printable(out.stem());
        // '?' is no name's: a stem without a CP932 form fails when a volume is named.
        if (!Utf8ToCp932(v.stem, &v.stemCp932))
            v.stemCp932 = "?";
        // Renamed into place at the end; until then a signal removes them.
        v.temporaryName = [out]() {
            const std::filesystem::path temp = TemporaryNameBeside(out);
            if (!temp.empty())
                RemoveIfInterrupted(temp);
            return temp;
        };
    }
    return BuildArchiveWith(entries, archive, image, error, volumes);
}
