#include "mkupdate/inspect_deltas.h"
#include "mkupdate/index_memory.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>

#include "archive/archive_index.h"
#include "archive/delta_apply.h"
#include "archive/file_sample.h"
#include "archive/payload_deltas.h"
#include "mkupdate/entry_reader.h"
#include "mkupdate/host_files.h"
#include "mkupdate/pack.h"
#include "mkupdate/pack_deltas.h"
#include "mkupdate/update_ini.h"

namespace {

std::string Bytes(uint64_t n) {
    return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

std::string HexStart(const uint8_t* digest) {
    char text[17];
    for (int i = 0; i < 8; ++i)
        snprintf(text + 2 * i, 3, "%02x", digest[i]);
    return text;
}

const uint8_t* RecordAt(const uint8_t* index, uint32_t position) {
    return IndexRecords(index) + (size_t)position * kArchiveEntrySize;
}

// The whole entry of a target, or null.
const uint8_t* WholeCopy(const uint8_t* index, const char* target) {
    uint32_t offset;
    return LookupEntry(index, target, SameName, &offset);
}

std::string DeltaWho(const uint8_t* index, const PayloadDelta& d) {
    return "entry " + ShownCp932(EntryName(RecordAt(index, d.entryPosition))) + " (delta of " +
           ShownCp932(d.target) + ")";
}

} // namespace

int ReadSmallEntry(const PayloadImage& image, const uint8_t* index, const IntegrityRecord* record,
                   uint32_t position, std::string* out) {
    const EntryPlace place = PlaceAt(index, record, position);
    if (DecodedSizeOf(place) > (64u << 20))
        return 0;
    EntryPuller puller(image, place, nullptr);
    out->assign((size_t)DecodedSizeOf(place), '\0');
    size_t at = 0;
    for (ptrdiff_t n; at < out->size(); at += (size_t)n)
        if ((n = puller.Pull((uint8_t*)&(*out)[at], out->size() - at)) <= 0)
            return 0;
    return 1;
}

uint8_t* DeltaBuffers::Scratch() {
    if (!scratch)
        scratch.reset(new uint8_t[kDeltaScratchSize]);
    return scratch.get();
}

std::vector<std::string> DeltaOnlyTargets(const uint8_t* index, const IntegrityRecord& record) {
    std::vector<std::string> targets;
    std::set<std::string> seen;
    for (uint32_t i = 0; i < record.deltaCount; ++i) {
        PayloadDelta d;
        ReadDeltaDescriptor(record.deltas, i, &d);
        if (!WholeCopy(index, d.target) && seen.insert(FoldName(d.target)).second)
            targets.push_back(d.target);
    }
    return targets;
}

std::string ListDeltas(const uint8_t* index, const IntegrityRecord& record) {
    if (!record.deltaCount)
        return std::string();
    char line[160];
    snprintf(line, sizeof line, "%-16s %12s  %-16s %12s  %s\n", "delta entry", "base size",
             "base SHA-256", "result size", "target");
    std::string listing = line;
    std::vector<std::string> order;
    std::map<std::string, int> counts;
    for (uint32_t i = 0; i < record.deltaCount; ++i) {
        PayloadDelta d;
        ReadDeltaDescriptor(record.deltas, i, &d);
        snprintf(line, sizeof line, "%-16s %12llu  %-16s %12llu  ",
                 EntryName(RecordAt(index, d.entryPosition)), (unsigned long long)d.baseSize,
                 HexStart(d.baseDigest).c_str(), (unsigned long long)d.resultSize);
        listing += line + ShownCp932(d.target) + "\n";
        if (!counts[FoldName(d.target)]++)
            order.push_back(d.target);
    }
    for (const std::string& target : order) {
        const int n = counts[FoldName(target)];
        listing += "target " + ShownCp932(target) + ": " + std::to_string(n) +
                   (n == 1 ? " delta" : " deltas") +
                   (WholeCopy(index, target.c_str())
                        ? ", and a whole copy\n"
                        : ", no whole copy (an installation that matches no base is refused)\n");
    }
    return listing;
}

void CheckDeltas(const PayloadImage& image, const uint8_t* index, const IntegrityRecord* record,
                 VolumeStream* volumes, std::vector<std::string>* problems) {
    std::set<uint32_t> named;
    std::map<std::string, std::string> bases; // folded target and base digest -> entry name
    for (uint32_t i = 0; record && i < record->deltaCount; ++i) {
        PayloadDelta d;
        ReadDeltaDescriptor(record->deltas, i, &d);
        named.insert(d.entryPosition);
        const std::string who = DeltaWho(index, d);
        const std::string name = EntryName(RecordAt(index, d.entryPosition));
        const auto [at, fresh] = bases.emplace(
            FoldName(d.target) + std::string((const char*)d.baseDigest, kSha256Size), name);
        if (!fresh)
            problems->push_back(who + ": " + ShownCp932(at->second) +
                                " rebuilds it from the same base, and the updater takes that "
                                "one");
        const uint8_t* whole = WholeCopy(index, d.target);
        if (whole) {
            const uint32_t position =
                (uint32_t)((size_t)(whole - IndexRecords(index)) / kArchiveEntrySize);
            if (DecodedSizeOf(PlaceAt(index, record, position)) != d.resultSize ||
                (position < record->entryCount &&
                 memcmp(record->entryDigests + (size_t)position * kSha256Size, d.resultDigest,
                        kSha256Size) != 0))
                problems->push_back(who + ": its result differs from the whole entry " +
                                    ShownCp932(d.target));
        }
        // The header alone is read; the entry's own checks tell a damaged one.
        const EntryPlace place = PlaceAt(index, record, d.entryPosition);
        if (place.placed && (place.entry.flags & kPlacedInVolumes) && !volumes)
            continue;
        EntryPuller delta(image, place, volumes);
        uint8_t head[64];
        size_t have = 0;
        for (ptrdiff_t n = 1; have < sizeof head && n > 0; have += n > 0 ? (size_t)n : 0)
            n = delta.Pull(head + have, sizeof head - have);
        if (delta.opened() != kEntryReadOk || delta.failure() != kEntryReadOk)
            continue;
        DeltaInfo info;
        const DeltaStatus status = ReadDeltaInfo(head, have, &info);
        if (status != kDeltaOk) {
            problems->push_back(who + ": its bytes are no delta (" +
                                std::string(DeltaStatusName(status)) + ")");
            continue;
        }
        if (info.baseSize != d.baseSize || info.resultSize != d.resultSize)
            problems->push_back(who + ": the delta is from a base of " + Bytes(info.baseSize) +
                                " to " + Bytes(info.resultSize) + ", its descriptor says " +
                                Bytes(d.baseSize) + " to " + Bytes(d.resultSize));
        // Without the bit, an updater that knows only unflagged deltas would take the payload
        // and fail at this delta instead of refusing it before writing.
        if (info.flags && !(record->requiredFeatures & PAYLOAD_FEATURE_MODELED_DELTAS))
            problems->push_back(who + ": the delta carries header flags (modeled streams), but "
                                      "the payload does not require modeled deltas");
    }
    const uint32_t count = IndexEntryCount(index);
    for (uint32_t i = 0; i < count; ++i) {
        const char* name = EntryName(RecordAt(index, i));
        if (IsDeltaEntryName(name) && !named.count(i))
            problems->push_back("entry " + ShownCp932(name) +
                                ": named as a delta, but no delta descriptor names it");
    }
}

namespace {

// A base read from its file in parts (into part): its SHA-256 and its delta check value. 0 and a
// reason when it cannot be read whole.
int SurveyBase(const std::filesystem::path& file, uint64_t size, uint8_t digest[kSha256Size],
               uint8_t sample[kSha256Size], uint64_t* check, DeltaBuffers* buffers,
               std::string* error) {
    std::ifstream in(file, std::ios::binary);
    std::vector<uint8_t>& part = buffers->part;
    part.resize(1u << 20);
    Sha256Context c;
    Sha256Init(&c);
    DeltaCheckState s;
    DeltaCheckBegin(&s, size);
    SampleStream sampled;
    SampleStreamBegin(&sampled, size);
    for (uint64_t at = 0; at < size;) {
        const size_t n = size - at < part.size() ? (size_t)(size - at) : part.size();
        if (!in.read((char*)part.data(), (std::streamsize)n)) {
            *error = Printable(file) + " could not be read";
            return 0;
        }
        Sha256Update(&c, part.data(), n);
        DeltaCheckUpdate(&s, part.data(), n);
        SampleStreamFeed(&sampled, part.data(), n);
        at += n;
    }
    Sha256Final(&c, digest);
    SampleStreamEnd(&sampled, sample);
    *check = DeltaCheckEnd(&s);
    return 1;
}

struct StreamedDelta {
    std::ifstream* base;
    EntryPuller* delta;
    Sha256Context result;
    SampleStream resultSample;
    bool baseFailed;
};

ptrdiff_t ReadStreamedDelta(void* context, uint8_t* to, size_t size) {
    return ((StreamedDelta*)context)->delta->Pull(to, size);
}

int ReadStreamedBase(void* context, uint64_t position, uint8_t* to, size_t size) {
    StreamedDelta* r = (StreamedDelta*)context;
    r->base->clear();
    if (r->base->seekg((std::streamoff)position) && r->base->read((char*)to, (std::streamsize)size))
        return 1;
    r->baseFailed = true;
    return 0;
}

int HashResult(void* context, const uint8_t* data, size_t size) {
    Sha256Update(&((StreamedDelta*)context)->result, data, size);
    SampleStreamFeed(&((StreamedDelta*)context)->resultSample, data, size);
    return 1;
}

// One base folder against the deltas of one target, at one path an item writes it to.
void ApplyAt(const PayloadImage& image, const uint8_t* index, const IntegrityRecord& record,
             VolumeStream* volumes, const std::filesystem::path& base,
             const std::string& dataFolder, const std::string& target, const std::string& path,
             ItemRule rule, DeltaBuffers* buffers, std::vector<std::string>* told,
             std::vector<std::string>* problems) {
    const bool whole = WholeCopy(index, target.c_str()) != nullptr;
    const std::string refused = " and the payload has no whole copy of " + ShownCp932(target) +
                                ": an installation like it is refused";
    std::filesystem::path file;
    std::error_code ec;
    if (!InstalledFile(base, dataFolder, path, &file) || !std::filesystem::exists(file, ec)) {
        const std::string missing = Printable(base) + " has no " + ShownCp932(path);
        if (whole)
            told->push_back(missing + ": an installation like it gets the whole " +
                            ShownCp932(target));
        else if (rule == kRuleOverwrite)
            told->push_back(missing + ": the Overwrite item leaves it so");
        else
            problems->push_back(missing + refused);
        return;
    }
    const uint64_t size = std::filesystem::file_size(file, ec);
    uint8_t digest[kSha256Size], sample[kSha256Size];
    uint64_t check = 0;
    bool read = false;
    for (uint32_t i = 0; i < record.deltaCount; ++i) {
        PayloadDelta d;
        ReadDeltaDescriptor(record.deltas, i, &d);
        if (FoldName(d.target) != FoldName(target) || ec || d.baseSize != size)
            continue;
        std::string error;
        if (!read && !SurveyBase(file, size, digest, sample, &check, buffers, &error)) {
            problems->push_back(error);
            return;
        }
        read = true;
        if (memcmp(digest, d.baseDigest, kSha256Size) != 0)
            continue;
        const std::string who = DeltaWho(index, d) + " on " + Printable(file);
        // An updater knows the base, and a file already new, by these samples alone.
        const uint8_t* samples =
            record.deltaSamples ? record.deltaSamples + (size_t)i * kDeltaSampleSize : nullptr;
        if (samples && memcmp(samples, sample, kSha256Size) != 0) {
            problems->push_back(who + ": the base's recorded sample differs from its bytes");
            return;
        }
        EntryPuller delta(image, PlaceAt(index, &record, d.entryPosition), volumes);
        if (delta.opened() != kEntryReadOk) {
            problems->push_back(who + ": the entry does not decode");
            return;
        }
        // The delta is pulled piece by piece, the base read by position and the result only
        // hashed: none of them is held whole.
        std::ifstream in(file, std::ios::binary);
        StreamedDelta run{&in, &delta, {}, {}, false};
        Sha256Init(&run.result);
        SampleStreamBegin(&run.resultSample, d.resultSize);
        const DeltaIo io = {&run, ReadStreamedDelta, ReadStreamedBase, HashResult, nullptr};
        uint64_t produced = 0;
        const DeltaStatus status =
            ApplyDeltaStream(io, size, &check, buffers->Scratch(), kDeltaScratchSize, &produced);
        uint8_t resultDigest[kSha256Size], resultSample[kSha256Size];
        Sha256Final(&run.result, resultDigest);
        SampleStreamEnd(&run.resultSample, resultSample);
        if (status == kDeltaReadFailed && run.baseFailed)
            problems->push_back(Printable(file) + " could not be read");
        else if (status == kDeltaReadFailed)
            problems->push_back(who + ": " + EntryReadProblem(delta.failure(), volumes));
        else if (status != kDeltaOk)
            problems->push_back(who + ": applying it fails (" +
                                std::string(DeltaStatusName(status)) + ")");
        else if (produced != d.resultSize || memcmp(resultDigest, d.resultDigest, kSha256Size) != 0)
            problems->push_back(who + ": its result differs from the size and SHA-256 of " +
                                ShownCp932(target) + " its descriptor names");
        else if (samples && memcmp(samples + kSha256Size, resultSample, kSha256Size) != 0)
            problems->push_back(who + ": the result's recorded sample differs from its bytes");
        else
            told->push_back("applied " + who + ": " + ShownCp932(target) + " rebuilt, " +
                            Bytes(produced) + ", SHA-256 as described");
        return;
    }
    const std::string unmatched = Printable(file) + " matches no delta of " + ShownCp932(target);
    if (whole)
        told->push_back(unmatched + ": an installation like it gets the whole entry");
    else
        problems->push_back(unmatched + refused);
}

} // namespace

void ApplyDeltasToBases(const PayloadImage& image, const uint8_t* index,
                        const IntegrityRecord& record, VolumeStream* volumes,
                        const std::vector<std::filesystem::path>& bases,
                        std::vector<std::string>* told, std::vector<std::string>* problems) {
    uint32_t offset;
    const uint8_t* ini = LookupEntry(index, "UPDATE.INI", SameName, &offset);
    std::string text;
    if (!ini || !ReadSmallEntry(image, index, &record,
                                (uint32_t)((size_t)(ini - IndexRecords(index)) / kArchiveEntrySize),
                                &text)) {
        problems->push_back("--base: no readable UPDATE.INI in the payload says where its files "
                            "are installed");
        return;
    }
    const std::vector<IniSection> sections = ParseIni(text);
    std::string dataFolder;
    IniValue(sections, "SETUP", "DataFolder", &dataFolder);
    const std::map<std::string, EntryTargets> targets = TargetsByEntry(ReadUpdateItems(sections));
    if (!record.deltaCount)
        told->push_back("--base: the payload carries no deltas");
    std::vector<std::string> order;
    std::set<std::string> seen;
    DeltaBuffers buffers;
    for (uint32_t i = 0; i < record.deltaCount; ++i) {
        PayloadDelta d;
        ReadDeltaDescriptor(record.deltas, i, &d);
        if (!seen.insert(FoldName(d.target)).second)
            continue;
        order.push_back(d.target);
        const auto t = targets.find(FoldName(d.target));
        if (t == targets.end() || t->second.paths.empty())
            problems->push_back("the deltas of " + ShownCp932(d.target) +
                                " serve no Always, Update or Overwrite item of UPDATE.INI");
    }
    for (const std::filesystem::path& base : bases)
        for (const std::string& target : order) {
            const auto t = targets.find(FoldName(target));
            if (t == targets.end())
                continue;
            for (size_t p = 0; p < t->second.paths.size(); ++p)
                ApplyAt(image, index, record, volumes, base, dataFolder, target, t->second.paths[p],
                        t->second.rules[p], &buffers, told, problems);
        }
}
