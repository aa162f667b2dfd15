#include "mkupdate/apply_patch.h"

#include <string.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <set>

#include "archive/archive_index.h"
#include "archive/delta_apply.h"
#include "archive/payload_deltas.h"
#include "core/text.h"
#include "mkupdate/entry_reader.h"
#include "mkupdate/host_files.h"
#include "mkupdate/index_memory.h"
#include "mkupdate/inspect_deltas.h"
#include "mkupdate/pack_deltas.h"
#include "mkupdate/update_ini.h"
#include "update/update_items.h"

namespace {

bool IsLeadCp932(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

uint64_t NowFileTime() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return (uint64_t)std::chrono::duration_cast<std::chrono::microseconds>(now).count() * 10 +
           116444736000000000ull;
}

// One run of the payload over the tree: what it has written so far, and how it reads the
// payload.
struct Run {
    const PayloadImage& image;
    const uint8_t* index;
    const IntegrityRecord& record;
    VolumeStream* volumes;
    std::filesystem::path tree;
    std::string dataFolder;
    bool folderNames, newFolders;
    std::set<std::filesystem::path> written; // targets the run writes, which no deletion takes
    DeltaBuffers buffers;
    std::vector<std::string>* told;
    std::vector<std::string>* problems;

    // A message the updater would stop with; the run goes no further.
    int Stop(const std::string& why) {
        problems->push_back("the update stops: " + why);
        return 0;
    }
};

std::string Shown(const std::filesystem::path& tree, const std::filesystem::path& file) {
    return Printable(file.lexically_relative(tree));
}

bool IsFolder(const std::filesystem::path& p) {
    std::error_code ec;
    return std::filesystem::is_directory(std::filesystem::symlink_status(p, ec));
}

bool Exists(const std::filesystem::path& p) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(p, ec));
}

// The folders below the item's folder (tree, DataFolder) down to the target's, outermost first.
std::vector<std::filesystem::path> FoldersOf(const std::filesystem::path& folder,
                                             const std::filesystem::path& target) {
    std::vector<std::filesystem::path> chain;
    std::filesystem::path at = folder;
    for (const std::filesystem::path& part : target.parent_path().lexically_relative(folder)) {
        if (part == ".")
            continue;
        at /= part;
        chain.push_back(at);
    }
    return chain;
}

struct FileSink {
    HostFileWriter* out;
};

int WritePiece(void* context, const uint8_t* bytes, size_t size) {
    return ((FileSink*)context)->out->Write(bytes, size);
}

// The entry at position written whole to target, with its time stamp.
int WriteEntry(Run* run, uint32_t position, const std::filesystem::path& target) {
    const EntryPlace place = PlaceAt(run->index, &run->record, position);
    HostFileWriter out;
    std::string error;
    if (!out.Open(target, &error))
        return run->Stop(error);
    FileSink sink{&out};
    const EntryReadResult result = ReadEntry(run->image, place, run->volumes, WritePiece, &sink);
    run->image.LetGo();
    if (result != kEntryReadOk)
        return run->Stop("entry " + ShownCp932(EntryName(place.rec)) + ": " +
                         EntryReadProblem(result, run->volumes));
    const uint64_t time = EntryTime(place.rec);
    return out.Commit(&time, &error) || run->Stop(error);
}

struct DeltaRun {
    std::ifstream* base;
    EntryPuller* delta;
    HostFileWriter* out;
};

ptrdiff_t PullDelta(void* context, uint8_t* to, size_t size) {
    return ((DeltaRun*)context)->delta->Pull(to, size);
}

int ReadBase(void* context, uint64_t position, uint8_t* to, size_t size) {
    std::ifstream* in = ((DeltaRun*)context)->base;
    in->clear();
    return in->seekg((std::streamoff)position) && in->read((char*)to, (std::streamsize)size);
}

int WriteResult(void* context, const uint8_t* data, size_t size) {
    return ((DeltaRun*)context)->out->Write(data, size);
}

// The new file rebuilt over target, its base, by delta number n.
int WriteDelta(Run* run, uint32_t n, const std::filesystem::path& target) {
    PayloadDelta d;
    ReadDeltaDescriptor(run->record.deltas, n, &d);
    EntryPuller delta(run->image, PlaceAt(run->index, &run->record, d.entryPosition), run->volumes);
    std::ifstream in(target, std::ios::binary);
    HostFileWriter out;
    std::string error;
    if (!out.Open(target, &error))
        return run->Stop(error);
    DeltaRun context{&in, &delta, &out};
    const DeltaIo io = {&context, PullDelta, ReadBase, WriteResult};
    uint64_t produced = 0;
    const DeltaStatus status = ApplyDeltaStream(io, d.baseSize, nullptr, run->buffers.Scratch(),
                                                kDeltaScratchSize, &produced);
    run->image.LetGo();
    // Windows renames over no file that is open.
    in.close();
    if (status != kDeltaOk)
        return run->Stop("the delta of " + ShownCp932(d.target) + " does not apply to " +
                         Shown(run->tree, target) + " (" + DeltaStatusName(status) + ")");
    return out.Commit(&d.time, &error) || run->Stop(error);
}

// SHA-256 of a file; 0 when it cannot be read.
int HashFile(Run* run, const std::filesystem::path& file, uint8_t digest[kSha256Size]) {
    std::ifstream in(file, std::ios::binary);
    std::vector<uint8_t>& part = run->buffers.part;
    part.resize(1u << 20);
    Sha256Context c;
    Sha256Init(&c);
    while (in) {
        in.read((char*)part.data(), (std::streamsize)part.size());
        Sha256Update(&c, part.data(), (size_t)in.gcount());
    }
    Sha256Final(&c, digest);
    return in.eof() ? 1 : 0;
}

int LastWrite(const std::filesystem::path& file, uint64_t* time) {
    std::string error;
    return LastWriteFileTime(file, time, &error);
}

// Makes one folder, as the run's folder actions do: inside one that is there.
int MakeFolder(Run* run, const std::filesystem::path& folder) {
    if (IsFolder(folder))
        return 1;
    std::error_code ec;
    if (Exists(folder) || !std::filesystem::create_directory(folder, ec))
        return run->Stop("「" + Shown(run->tree, folder) + "」を作成できません");
    return 1;
}

// One update item. 0 when the run stops.
int ApplyItem(Run* run, const UpdateItem& item, bool overwriteOnly) {
    std::filesystem::path folder = run->tree, target;
    if ((!run->dataFolder.empty() && !InstalledFile(run->tree, "", run->dataFolder, &folder)) ||
        !InstalledFile(run->tree, run->dataFolder, item.path, &target))
        return run->Stop("UPDATE.INI : \"" + ShownCp932(item.path) +
                         "\" はアップデート先のフォルダの外を指しています");
    const bool exists = Exists(target), isFolder = IsFolder(target);
    const bool skipped = (overwriteOnly || item.mode == Overwrite) && (!exists || isFolder);
    // Every item makes its folder first, one the overwrite-only rule then skips too.
    if ((!skipped || IsFolder(folder.parent_path())) && !MakeFolder(run, folder))
        return 0;
    if (skipped)
        return 1;
    if (isFolder)
        return run->Stop("「" + Shown(run->tree, target) + "」はフォルダのため置き換えられません");
    // The player's data file stays as it is (written back with its own bytes).
    if (item.mode == Data && exists) {
        run->written.insert(target);
        // A file of its own first: the copy's files may be the release's under a second name.
        const std::filesystem::path own = TemporaryNameBeside(target);
        std::error_code ec;
        std::string error;
        if (own.empty() || !std::filesystem::copy_file(target, own, ec) ||
            (std::filesystem::rename(own, target, ec), ec))
            return run->Stop("「" + Shown(run->tree, target) + "」を書き込めません");
        SetLastWriteFileTime(target, NowFileTime(), &error);
        return 1;
    }
    const std::string name = run->folderNames ? item.path : item.path + item.nameOffset;
    uint64_t installedTime = 0;
    const bool timed = exists && LastWrite(target, &installedTime);
    std::error_code ec;
    const uint64_t size = exists ? std::filesystem::file_size(target, ec) : 0;
    int delta = -1;
    bool hasDeltas = false;
    for (uint32_t i = 0; item.mode != Data && i < run->record.deltaCount; ++i) {
        PayloadDelta d;
        ReadDeltaDescriptor(run->record.deltas, i, &d);
        if (FoldName(d.target) != FoldName(name))
            continue;
        if (!hasDeltas && item.mode == Update && timed && installedTime > d.time)
            return 1; // left alone: newer than the new file
        hasDeltas = true;
        if (!exists || (d.baseSize != size && d.resultSize != size))
            continue;
        uint8_t digest[kSha256Size];
        if (!HashFile(run, target, digest))
            return run->Stop("「" + Shown(run->tree, target) + "」を読み込めません");
        if (d.resultSize == size && memcmp(d.resultDigest, digest, kSha256Size) == 0)
            return 1; // already the new file
        if (d.baseSize == size && memcmp(d.baseDigest, digest, kSha256Size) == 0) {
            delta = (int)i;
            break;
        }
    }
    uint32_t offset = 0;
    const uint8_t* whole = LookupEntry(run->index, name.c_str(), SameName, &offset);
    if (!hasDeltas && !whole)
        return run->Stop("entry " + ShownCp932(name) +
                         " is not in the payload (Can't Find File "
                         "in Resource !!)");
    if (hasDeltas && delta < 0 && !whole)
        return run->Stop("アップデートエラー：「" + Shown(run->tree, target) +
                         "」がアップデート対象のバージョンと違います");
    if (!hasDeltas && item.mode == Update && timed && installedTime > EntryTime(whole))
        return 1;
    // The folders of the path: made only for a payload that requires new folders; else they
    // must be there, as the write fails otherwise.
    for (const std::filesystem::path& f : FoldersOf(folder, target)) {
        if (IsFolder(f))
            continue;
        if (!run->newFolders)
            return run->Stop("「" + Shown(run->tree, target) + "」を書き込めません (its folder " +
                             Shown(run->tree, f) +
                             " is not there, and the payload does not require new folders)");
        if (!MakeFolder(run, f))
            return 0;
    }
    run->written.insert(target);
    if (delta >= 0)
        return WriteDelta(run, (uint32_t)delta, target);
    return WriteEntry(
        run, (uint32_t)((size_t)(whole - IndexRecords(run->index)) / kArchiveEntrySize), target);
}

// The files a deletion list names that are there, as the tree's paths; 0 when the run stops.
int DeletedFiles(Run* run, const std::vector<std::string>& paths,
                 std::vector<std::filesystem::path>* files) {
    for (const std::string& path : paths) {
        std::filesystem::path file;
        if (path.find(':') != std::string::npos || path[0] == '\\' || path[0] == '/' ||
            !InstalledFile(run->tree, run->dataFolder, path, &file))
            return run->Stop("UPDATE.INI : \"" + ShownCp932(path) +
                             "\" はアップデート先のフォルダの外を指しています");
        if (!Exists(file))
            continue;
        if (IsFolder(file))
            return run->Stop("「" + Shown(run->tree, file) + "」はフォルダのため削除できません");
        files->push_back(file);
    }
    return 1;
}

// Removes file and the folders it leaves empty, never the tree or its DataFolder folder.
void RemoveDeleted(Run* run, const std::filesystem::path& file) {
    std::error_code ec;
    std::filesystem::remove(file, ec);
    std::filesystem::path data = run->tree;
    if (!run->dataFolder.empty())
        InstalledFile(run->tree, "", run->dataFolder, &data);
    for (std::filesystem::path f = file.parent_path();
         f != run->tree && f != data && f.string().size() > run->tree.string().size();
         f = f.parent_path())
        if (!std::filesystem::remove(f, ec))
            break;
}

// Where new folders are made, a deleted file or a folder of deleted files may stand where the
// other kind is written: those deletions go first. A file at a folder of a target's path goes
// when the list deletes it; a folder at a target goes when the list deletes every file in it.
void DeleteWhatStandsInTheWay(Run* run, const std::vector<UpdateItem>& items,
                              std::vector<std::filesystem::path>* deleted) {
    std::set<std::filesystem::path> named(deleted->begin(), deleted->end());
    std::set<std::filesystem::path> first;
    for (const UpdateItem& item : items) {
        std::filesystem::path target;
        if (!InstalledFile(run->tree, run->dataFolder, item.path, &target))
            continue;
        for (std::filesystem::path f = target.parent_path();
             f.string().size() > run->tree.string().size(); f = f.parent_path())
            if (named.count(f))
                first.insert(f);
        if (!IsFolder(target))
            continue;
        std::vector<std::filesystem::path> inside;
        bool all = true;
        std::error_code ec;
        for (std::filesystem::recursive_directory_iterator it(target, ec), end; !ec && it != end;
             it.increment(ec))
            if (!it->is_directory()) {
                inside.push_back(it->path());
                all = all && named.count(it->path());
            }
        if (all)
            first.insert(inside.begin(), inside.end());
    }
    for (const std::filesystem::path& f : first) {
        RemoveDeleted(run, f);
        run->told->push_back("deleted first, to make way: " + Shown(run->tree, f));
    }
    std::vector<std::filesystem::path> rest;
    for (const std::filesystem::path& f : *deleted)
        if (!first.count(f))
            rest.push_back(f);
    deleted->swap(rest);
}

} // namespace

int ApplyPayloadToTree(const PayloadImage& image, const uint8_t* index,
                       const IntegrityRecord& record, VolumeStream* volumes,
                       const std::filesystem::path& tree, int installedMode,
                       std::vector<std::string>* told, std::vector<std::string>* problems) {
    Run run{image, index, record, volumes, tree, std::string(),
            false, false, {},     {},      told, problems};
    run.folderNames = (record.requiredFeatures & PAYLOAD_FEATURE_FOLDER_NAMES) != 0;
    run.newFolders = (record.requiredFeatures & PAYLOAD_FEATURE_NEW_FOLDERS) != 0;
    uint32_t offset;
    const uint8_t* ini = LookupEntry(index, "UPDATE.INI", SameName, &offset);
    std::string text;
    if (!ini ||
        !ReadSmallEntry(image, index, &record,
                        (uint32_t)((size_t)(ini - IndexRecords(index)) / kArchiveEntrySize), &text))
        return run.Stop("the payload has no readable UPDATE.INI");
    const std::vector<IniSection> sections = ParseIni(text);
    IniValue(sections, "SETUP", "DataFolder", &run.dataFolder);
    std::string value;
    const bool overwriteOnly =
        IniValue(sections, "UPDATE", "OverwriteOnly", &value) && ParseDecimal(value.c_str());

    // The lists as the updater reads them: up to the first missing key, at most 16 keys of a
    // payload that does not require long lists.
    std::vector<std::string> neverRead;
    std::vector<std::string> updates =
        ReadNumberedList(sections, "UpdateFile%02i", "update", &neverRead);
    if (!(record.requiredFeatures & PAYLOAD_FEATURE_LONG_LISTS) && updates.size() > kListKeys)
        updates.resize(kListKeys);
    std::vector<std::string> deletions;
    if (record.requiredFeatures & PAYLOAD_FEATURE_DELETIONS)
        deletions = ReadNumberedList(sections, "DeleteFile%02i", "delete", &neverRead);
    const std::vector<std::string> copies =
        ReadNumberedList(sections, "CopyFile%02i", "copy", &neverRead);
    std::vector<UpdateItem> items;
    for (std::string v : updates) {
        v.resize(std::min(v.size(), kTextSize - 1));
        UpdateItem item;
        const ItemKind kind = ParseUpdateItem(v.c_str(), installedMode, IsLeadCp932, &item);
        if (kind == kItemCheck) {
            std::filesystem::path file;
            if (!InstalledFile(tree, "", item.path, &file) || !Exists(file) || IsFolder(file))
                return run.Stop("the version check e," + ShownCp932(item.path) +
                                " fails: the release has no such file");
        }
        if (kind == kItemStored)
            items.push_back(item);
    }
    size_t copying = 0;
    for (size_t n = 0; n < copies.size(); ++n) {
        CopyItem item;
        const ItemKind kind = ParseCopyItem(copies[n].c_str(), installedMode, &item);
        if (kind == kItemBadDisc)
            return run.Stop("UPDATE.INI : " + KeyName("CopyFile%02i", (int)n) +
                            " のディスク番号が正しくありません");
        copying += kind == kItemStored;
    }
    if (copying)
        told->push_back(std::to_string(copying) +
                        (copying == 1 ? " disc copy is not made here: what it brings"
                                      : " disc copies are not made here: what they bring") +
                        " is missing from the result");
    if (items.empty() && deletions.empty() && !copying) {
        if (updates.empty())
            return run.Stop("No 'UpdateFileXX' and 'CopyFileXX'");
        told->push_back("nothing to update for this installation");
        return 1;
    }
    std::vector<std::filesystem::path> deleted;
    if (!DeletedFiles(&run, deletions, &deleted))
        return 0;
    if (run.newFolders)
        DeleteWhatStandsInTheWay(&run, items, &deleted);
    for (const UpdateItem& item : items)
        if (!ApplyItem(&run, item, overwriteOnly))
            return 0;
    for (const std::filesystem::path& f : deleted)
        if (!run.written.count(f))
            RemoveDeleted(&run, f);
    return 1;
}
