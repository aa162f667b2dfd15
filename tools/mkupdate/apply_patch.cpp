#include "mkupdate/apply_patch.h"

#include <string.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>

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
#include "update/run_plan.h"
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

// One run of the payload over the tree: where it writes, and how it reads the payload.
struct Run {
    const PayloadImage& image;
    const uint8_t* index;
    const IntegrityRecord& record;
    VolumeStream* volumes;
    std::filesystem::path tree;
    std::string dataFolder;
    bool folderNames, newFolders;
    DeltaBuffers buffers;
    std::vector<std::string>* told;
    std::vector<std::string>* problems;

    // A message the updater would stop with; the run goes no further.
    int Stop(const std::string& why) {
        problems->push_back("the update stops: " + why);
        return 0;
    }
};

// The position in the index of one of its records.
uint32_t PositionOf(const Run* run, const uint8_t* rec) {
    return (uint32_t)((size_t)(rec - IndexRecords(run->index)) / kArchiveEntrySize);
}

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

// The entry at position written whole to target, with the time stamp time.
int WriteEntry(Run* run, uint32_t position, const std::filesystem::path& target, uint64_t time) {
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

// The new file rebuilt over target, its base, by delta number n, with the time stamp time.
int WriteDelta(Run* run, uint32_t n, const std::filesystem::path& target, uint64_t time) {
    PayloadDelta d;
    ReadDeltaDescriptor(run->record.deltas, n, &d);
    EntryPuller delta(run->image, PlaceAt(run->index, &run->record, d.entryPosition), run->volumes);
    std::ifstream in(target, std::ios::binary);
    HostFileWriter out;
    std::string error;
    if (!out.Open(target, &error))
        return run->Stop(error);
    DeltaRun context{&in, &delta, &out};
    const DeltaIo io = {&context, PullDelta, ReadBase, WriteResult, nullptr};
    uint64_t produced = 0;
    const DeltaStatus status = ApplyDeltaStream(io, d.baseSize, nullptr, run->buffers.Scratch(),
                                                kDeltaScratchSize, &produced);
    run->image.LetGo();
    // Windows renames over no file that is open.
    in.close();
    if (status != kDeltaOk)
        return run->Stop("the delta of " + ShownCp932(d.target) + " does not apply to " +
                         Shown(run->tree, target) + " (" + DeltaStatusName(status) + ")");
    return out.Commit(&time, &error) || run->Stop(error);
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

// Every path the items name, once each (names compared without ASCII case, as Windows compares
// them), with what stands there before the run: the planner's snapshot.
struct PathTable {
    std::map<std::string, uint32_t> byName;
    std::vector<std::filesystem::path> names;
    std::vector<PlanPath> states;

    uint32_t Index(const std::filesystem::path& path) {
        // Folded in CP932, as the updater compares names; a name with no CP932 form as it is.
        std::string name = path.u8string(), cp932;
        if (Utf8ToCp932(name, &cp932))
            name = FoldName(cp932);
        const auto [at, fresh] = byName.emplace(name, (uint32_t)names.size());
        if (!fresh)
            return at->second;
        names.push_back(path);
        PlanPath state{};
        std::error_code ec;
        const std::filesystem::file_status status = std::filesystem::symlink_status(path, ec);
        if (std::filesystem::exists(status)) {
            state.exists = 1;
            state.replaceable = 1;
            state.attributes = std::filesystem::is_directory(status) ? kPlanFolder : kPlanNormal;
            if (state.attributes != kPlanFolder)
                state.size = std::filesystem::file_size(path, ec);
            LastWrite(path, &state.writeTime);
        }
        states.push_back(state);
        return at->second;
    }
};

// Where an item's new file can come from; the installed file is read only where the rules will
// ask what it is, as the updater reads it.
int GatherSource(Run* run, const UpdateItem& item, const std::filesystem::path& target,
                 const PlanPath& state, PlanSource* s) {
    *s = PlanSource{};
    if (item.mode == Delete || !item.path[item.nameOffset])
        return 1;
    const std::string name = run->folderNames ? item.path : item.path + item.nameOffset;
    uint32_t offset = 0;
    s->record = LookupEntry(run->index, name.c_str(), SameName, &offset);
    s->dataOffset = offset;
    if (s->record) {
        s->entrySize = DecodedSizeOf(PlaceAt(run->index, &run->record, PositionOf(run, s->record)));
        s->entryTime = EntryTime(s->record);
    }
    std::vector<uint32_t> deltas;
    for (uint32_t i = 0; i < run->record.deltaCount; ++i) {
        PayloadDelta d;
        ReadDeltaDescriptor(run->record.deltas, i, &d);
        if (FoldName(d.target) != FoldName(name))
            continue;
        if (deltas.empty())
            s->deltaTime = d.time;
        deltas.push_back(i);
    }
    s->hasDeltas = !deltas.empty();
    const bool newer = item.mode == Update && state.writeTime > s->deltaTime;
    if (!s->hasDeltas || item.mode == Data || !state.exists || (state.attributes & kPlanFolder) ||
        newer)
        return 1;
    bool sizeFits = false;
    for (const uint32_t i : deltas) {
        PayloadDelta d;
        ReadDeltaDescriptor(run->record.deltas, i, &d);
        sizeFits = sizeFits || d.baseSize == state.size || d.resultSize == state.size;
    }
    uint8_t digest[kSha256Size];
    if (!sizeFits)
        return 1;
    if (!HashFile(run, target, digest)) {
        s->match = kPlanMatchUnreadable;
        return 1;
    }
    for (const uint32_t i : deltas) {
        PayloadDelta d;
        ReadDeltaDescriptor(run->record.deltas, i, &d);
        if (d.resultSize == state.size && memcmp(d.resultDigest, digest, kSha256Size) == 0) {
            s->match = kPlanMatchResult;
            return 1;
        }
        if (d.baseSize == state.size && memcmp(d.baseDigest, digest, kSha256Size) == 0) {
            s->match = kPlanMatchBase;
            s->delta = i;
            s->deltaRecord = IndexRecords(run->index) + (size_t)d.entryPosition * kArchiveEntrySize;
            s->deltaSize = d.resultSize;
            return 1;
        }
    }
    return 1;
}

// What the updater tells when its plan is refused at path.
std::string Refusal(Run* run, PlanRefusal refusal, const std::filesystem::path& path) {
    const std::string shown = Shown(run->tree, path);
    switch (refusal) {
    case kPlanNoEntry:
        return "Can't Find File in Resource !! (the payload has no entry for " + shown + ")";
    case kPlanNoFolder:
        return "ファイルの書き込みに失敗しました (the folder " + shown +
               (Exists(path) ? " is a file there" : " is not there") +
               (run->newFolders ? "" : ", and the payload does not make folders") + ")";
    case kPlanUnreadable:
        return "「" + shown + "」を読み込めません";
    case kPlanOtherVersion:
        return "アップデートエラー：「" + shown + "」がアップデート対象のバージョンと違います";
    case kPlanFolderInWay:
        return "「" + shown + "」はフォルダのため置き換えられません";
    case kPlanFolderDeleted:
        return "「" + shown + "」はフォルダのため削除できません";
    default:
        return "「" + shown + "」はほかのプログラムが使用しているため置き換えられません";
    }
}

// A file the run writes back with its own bytes: a file of its own first, as the copy's files
// may be the release's under a second name, then the time of the rewrite.
int WriteBack(Run* run, const std::filesystem::path& target, uint64_t now) {
    const std::filesystem::path own = TemporaryNameBeside(target);
    std::error_code ec;
    std::string error;
    if (own.empty() || !std::filesystem::copy_file(target, own, ec) ||
        (std::filesystem::rename(own, target, ec), ec))
        return run->Stop("「" + Shown(run->tree, target) + "」を書き込めません");
    SetLastWriteFileTime(target, now, &error);
    return 1;
}

// Removes the folders that deletions left empty, innermost first, never the tree or its
// DataFolder folder.
void RemoveEmptied(Run* run, const std::filesystem::path& file, const std::filesystem::path& data) {
    std::error_code ec;
    for (std::filesystem::path f = file.parent_path();
         f != run->tree && f != data && f.native().size() > run->tree.native().size();
         f = f.parent_path())
        // A file that took a folder's place stays.
        if (!std::filesystem::is_directory(std::filesystem::symlink_status(f, ec)) ||
            !std::filesystem::remove(f, ec))
            break;
}

// The plan's actions carried out on the tree, in order.
int Carry(Run* run, const PathTable& t, const std::vector<PlanAction>& actions, uint32_t count,
          uint64_t now, const std::filesystem::path& data) {
    std::vector<std::filesystem::path> deleted;
    for (uint32_t i = 0; i < count; ++i) {
        const PlanAction& a = actions[i];
        const std::filesystem::path& path = t.names[a.path];
        std::error_code ec;
        if (a.kind == kCreateFolder && !std::filesystem::create_directory(path, ec))
            return run->Stop("「" + Shown(run->tree, path) + "」を作成できません");
        if (a.kind == kDeleteFile) {
            std::filesystem::remove(path, ec);
            deleted.push_back(path);
        }
        // Only an emptied folder goes: anything the payload does not delete keeps it, and the
        // updater's run fails whole.
        if (a.kind == kRemoveFolder && !std::filesystem::remove(path, ec))
            return run->Stop("ファイルの書き込みに失敗しました (the folder " +
                             Shown(run->tree, path) +
                             " holds what the payload does not delete, so the file cannot take "
                             "its place)");
        if (a.kind != kReplaceFile)
            continue; // a read-only mark cleared: the copy has none
        const uint64_t time = a.hasTime && !a.creationOnly ? a.time : now;
        const int ok = a.from == kFromDelta ? WriteDelta(run, a.delta, path, time)
                       : a.from == kFromEntry
                           ? WriteEntry(run, PositionOf(run, a.record), path, time)
                           : WriteBack(run, path, time);
        if (!ok)
            return 0;
    }
    for (const std::filesystem::path& f : deleted)
        RemoveEmptied(run, f, data);
    return 1;
}

} // namespace

int ApplyPayloadToTree(const PayloadImage& image, const uint8_t* index,
                       const IntegrityRecord& record, VolumeStream* volumes,
                       const std::filesystem::path& tree, int installedMode,
                       std::vector<std::string>* told, std::vector<std::string>* problems) {
    Run run{image, index, record, volumes, tree, std::string(), false, false, {}, told, problems};
    run.folderNames = (record.requiredFeatures & PAYLOAD_FEATURE_FOLDER_NAMES) != 0;
    run.newFolders = (record.requiredFeatures & PAYLOAD_FEATURE_NEW_FOLDERS) != 0;
    uint32_t offset;
    const uint8_t* ini = LookupEntry(index, "UPDATE.INI", SameName, &offset);
    std::string text;
    if (!ini || !ReadSmallEntry(image, index, &record, PositionOf(&run, ini), &text))
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
    for (std::string v : deletions) {
        UpdateItem item;
        v.resize(std::min(v.size(), kPathSize - 1));
        if (v.find(':') != std::string::npos || v[0] == '\\' || v[0] == '/')
            return run.Stop("UPDATE.INI : \"" + ShownCp932(v) +
                            "\" はアップデート先のフォルダの外を指しています");
        strcpy(item.path, v.c_str());
        item.mode = Delete;
        item.nameOffset = NameOffset(item.path, IsLeadCp932);
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
    if (items.empty() && !copying) {
        if (updates.empty())
            return run.Stop("No 'UpdateFileXX' and 'CopyFileXX'");
        told->push_back("nothing to update for this installation");
        return 1;
    }

    // The snapshot: each item's target, its folder (DataFolder's level) and that folder's
    // parent, and the folders between its folder and its target.
    std::filesystem::path data = tree;
    if (!run.dataFolder.empty() && !InstalledFile(tree, "", run.dataFolder, &data))
        return run.Stop("UPDATE.INI : DataFolder \"" + ShownCp932(run.dataFolder) +
                        "\" はアップデート先のフォルダの外を指しています");
    PathTable t;
    std::vector<PlanItem> planItems(items.size());
    std::vector<uint32_t> inner;
    for (size_t i = 0; i < items.size(); ++i) {
        const UpdateItem& item = items[i];
        std::filesystem::path target;
        if (!InstalledFile(tree, run.dataFolder, item.path, &target))
            return run.Stop("UPDATE.INI : \"" + ShownCp932(item.path) +
                            "\" はアップデート先のフォルダの外を指しています");
        PlanItem& p = planItems[i];
        p.mode = item.mode;
        p.noName = !item.path[item.nameOffset];
        p.target = t.Index(target);
        p.folder = t.Index(data);
        p.folderParent = t.Index(data.parent_path());
        p.firstInner = (uint32_t)inner.size();
        for (const std::filesystem::path& f : FoldersOf(data, target))
            inner.push_back(t.Index(f));
        p.innerCount = (uint32_t)inner.size() - p.firstInner;
        if (!GatherSource(&run, item, target, t.states[p.target], &p.source))
            return 0;
    }
    const uint64_t now = NowFileTime();
    const PlanSnapshot snapshot{t.states.data(),
                                (uint32_t)t.states.size(),
                                planItems.data(),
                                (uint32_t)planItems.size(),
                                inner.data(),
                                (uint8_t)overwriteOnly,
                                (uint8_t)run.newFolders,
                                now};
    std::vector<PlanAction> actions(PlanCapacity(snapshot) + 1);
    const PlanResult plan = PlanRun(snapshot, actions.data());
    if (plan.refusal != kPlanDone)
        return run.Stop(Refusal(&run, plan.refusal, t.names[plan.path]));
    return Carry(&run, t, actions, plan.count, now, data);
}
