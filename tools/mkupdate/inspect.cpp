#include "mkupdate/inspect.h"
#include "mkupdate/index_memory.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <set>

#include "archive/archive_index.h"
#include "archive/decompress.h"
#include "archive/payload_deltas.h"
#include "archive/payload_integrity.h"
#include "archive/scramble.h"
#include "mkupdate/apply_patch.h"
#include "mkupdate/build.h"
#include "mkupdate/entry_reader.h"
#include "mkupdate/host_files.h"
#include "mkupdate/inspect_deltas.h"
#include "mkupdate/pack.h"

namespace {

// An entry name for the terminal: decoded, with control bytes escaped so that a hostile name
// cannot send escape sequences.
std::string Shown(const char* name) {
    std::string utf8;
    return Cp932ToUtf8(name, &utf8) ? EscapeControls(utf8, true)
                                    : EscapeControls(name, false) + " (not CP932)";
}

std::string StatusText(DecodeStatus status) {
    switch (status) {
    case kDecodeOk:
        return "ends early";
    case kDecodeTruncated:
        return "is cut short";
    case kDecodeOverflow:
        return "decodes to more bytes than recorded";
    default:
        return "copies from before its start";
    }
}

// Unscrambles and decodes one compressed block the way the updater does, and says what is
// wrong with it, if anything.
std::string CheckStream(const uint8_t* stored, uint32_t storedSize, bool scrambled,
                        uint32_t decodedSize) {
    std::vector<uint8_t> work(stored, stored + storedSize);
    if (scrambled)
        Scramble(work.data(), storedSize);
    std::vector<uint8_t> out(decodedSize);
    size_t produced = 0, consumed = 0;
    const DecodeStatus status =
        DecompressBlock(out.data(), out.size(), work.data(), work.size(), &produced, &consumed);
    if (status != kDecodeOk)
        return "its stream " + StatusText(status);
    if (produced != decodedSize)
        return "its stream decodes to " + std::to_string(produced) + " bytes, not " +
               std::to_string(decodedSize);
    if (consumed != storedSize)
        return std::to_string(storedSize - consumed) + " bytes follow its end marker";
    return std::string();
}

// The index records as the updater reads them, or empty after a problem.
std::vector<uint8_t> DecodeIndex(const PayloadImage& image, std::vector<std::string>* problems) {
    const uint32_t flags = LoadLE32(image.data + kHeaderFlagsOffset);
    const uint32_t indexOffset = LoadLE32(image.data + kHeaderIndexOffsetOffset);
    const uint64_t recordBytes =
        (uint64_t)LoadLE32(image.data + kHeaderEntryCountOffset) * kArchiveEntrySize;
    if (indexOffset < kArchiveHeaderSize || indexOffset > image.size) {
        problems->push_back("the index offset lies outside the archive");
        return {};
    }
    const uint32_t tail = (uint32_t)(image.size - indexOffset);
    const uint8_t* stream = image.data + indexOffset;
    if (flags & kIndexCompressed) {
        if (recordBytes > MaxDecodedSize(tail)) {
            problems->push_back("the index is too short for its entry count");
            return {};
        }
        const std::string why =
            CheckStream(stream, tail, (flags & kIndexScrambled) != 0, (uint32_t)recordBytes);
        if (!why.empty()) {
            problems->push_back("index: " + why);
            return {};
        }
        std::vector<uint8_t> work(stream, stream + tail), records((size_t)recordBytes);
        if (flags & kIndexScrambled)
            Scramble(work.data(), tail);
        Decompress(records.data(), records.size(), work.data(), work.size());
        return records;
    }
    if (recordBytes > tail) {
        problems->push_back("the index is cut short");
        return {};
    }
    if (recordBytes < tail)
        problems->push_back(std::to_string(tail - recordBytes) + " bytes follow the index");
    std::vector<uint8_t> records(stream, stream + recordBytes);
    if (flags & kIndexScrambled)
        Scramble(records.data(), (uint32_t)recordBytes);
    return records;
}

// Host file name of an entry; empty when it cannot be one, here or on Windows.
std::filesystem::path HostName(const char* name) {
    std::string utf8;
    if (!EntryNameProblem(name).empty() || !Cp932ToUtf8(name, &utf8) || utf8.empty())
        return std::filesystem::path();
    // An entry named by its path (folder names) is written into its folder.
    std::replace(utf8.begin(), utf8.end(), '\\', '/');
    return std::filesystem::u8path(utf8).make_preferred();
}

// What the payload's integrity record says, read as the updater reads it.
struct Coverage {
    const uint8_t* entry = nullptr; // the record's index entry; null when not covered
    uint32_t offset = 0;            // where its stored bytes begin
    std::vector<uint8_t> bytes;     // its decoded bytes, which record points into
    IntegrityCheckResult result = kIntegrityIntact;
    IntegrityRecord record;
};

// index: a decoded index block (header, then records).
void ReadCoverage(const PayloadImage& image, const uint8_t* index, Coverage* c) {
    c->entry = FindIntegrityEntry(index, image.data, &c->offset);
    if (!c->entry)
        return;
    const uint8_t* bytes;
    uint8_t* block = nullptr;
    if (DecodeEntry(c->entry, image.data + c->offset, AllocBlock, FreeBlock, &bytes, &block) !=
        kEntryDecoded) {
        c->result = kIntegrityRecordDamaged;
        return;
    }
    c->bytes.assign(bytes, bytes + EntryDecodedSize(c->entry));
    free(block);
    c->result = CheckIndexIntegrity(index, c->bytes.data(), (uint32_t)c->bytes.size(), &c->record,
                                    kToolPayloadFeatures);
}

std::string CoverageProblem(const Coverage& c) {
    switch (c.result) {
    case kIntegrityRecordDamaged:
        return "the integrity record is damaged";
    case kIntegrityIndexDamaged:
        return "the index does not match its hash in the integrity record";
    case kIntegrityUnknownFeature:
        return "the integrity record is of a version, hash or required features (" +
               DescribeFeatures(c.bytes.size() >= 12 ? LoadLE32(c.bytes.data() + 8) : 0) +
               ") this mkupdate does not know";
    default:
        return std::string();
    }
}

std::string CoverageLine(const Coverage& c) {
    if (!c.entry)
        return "integrity: not covered (the payload carries no hashes)";
    if (c.result != kIntegrityIntact)
        return "integrity: " + CoverageProblem(c);
    const uint32_t volumes = c.record.volumeCount;
    return "integrity: covered (SHA-256 of the index and of each of " +
           std::to_string(c.record.entryCount) + " entries" +
           (volumes ? ", and the size and SHA-256 of " + std::to_string(volumes) +
                          (volumes == 1 ? " volume" : " volumes")
                    : std::string()) +
           "; required features " + DescribeFeatures(c.record.requiredFeatures) + ")";
}

// The record of an intact coverage, or null.
const IntegrityRecord* RecordOf(const Coverage& c) {
    return c.entry && c.result == kIntegrityIntact ? &c.record : nullptr;
}

// The position of rec in the index; the record covers positions below its entry count.
uint32_t PositionOf(const uint8_t* index, const uint8_t* rec) {
    return (uint32_t)((size_t)(rec - IndexRecords(index)) / kArchiveEntrySize);
}

// reserved: the record is the integrity record or a delta, whose reserved names are ones no file
// can take and which are never extracted. 1 when its stream is to be decoded and checked: it is
// compressed and its bytes lie inside the data area.
int CheckRecord(const PayloadImage& image, const uint8_t* rec, uint64_t offset,
                uint32_t indexOffset, bool reserved, std::vector<std::string>* problems) {
    const char* name = EntryName(rec);
    const std::string who = "entry " + Shown(name) + ": ";
    const size_t length = strlen(name);
    for (size_t i = length; i < kEntryNameSize; ++i)
        if (rec[kEntryNameOffset + i]) {
            problems->push_back(who + "bytes after its name are not zero");
            break;
        }
    if (!length)
        problems->push_back("an entry has an empty name");
    const std::string why = length && !reserved ? EntryNameProblem(name) : std::string();
    if (!why.empty())
        problems->push_back(who + "its name " + why);
    else if (length && !reserved && HostName(name).empty())
        problems->push_back(who + "its name is no file name");
    const uint8_t store = EntryStoreMethod(rec), scramble = EntryScrambleMethod(rec);
    if (store != kStoreRaw && store != kStoreCompressed)
        problems->push_back(who + "unknown store method " + std::to_string(store));
    if (scramble != kScrambleNone && scramble != kScrambled)
        problems->push_back(who + "unknown scramble method " + std::to_string(scramble));
    if (rec[kEntryStoreMethodOffset + 1] || rec[kEntryScrambleMethodOffset + 1])
        problems->push_back(who + "reserved bytes are not zero");
    const uint32_t stored = EntryStoredSize(rec), decoded = EntryDecodedSize(rec);
    if (offset + stored > indexOffset) {
        problems->push_back(who + "its bytes reach past the data area");
        return 0;
    }
    for (uint64_t i = offset + stored; i < offset + PaddedSize(stored) && i < indexOffset; ++i)
        if (image.data[(size_t)i]) {
            problems->push_back(who + "its padding is not zero");
            break;
        }
    if (!EntryIsCompressed(rec)) {
        if (decoded != stored)
            problems->push_back(who + "stored as is, but its sizes differ");
        return 0;
    }
    if (decoded > MaxDecodedSize(stored)) {
        problems->push_back(who + "its decoded size is more than its stream can hold");
        return 0;
    }
    return 1;
}

struct HashPieces {
    Sha256Context sha;
};

int HashPiece(void* context, const uint8_t* bytes, size_t size) {
    Sha256Update(&((HashPieces*)context)->sha, bytes, size);
    return 1;
}

// The digest of the image with the integrity record's own bytes left out, read piece by piece.
void StreamedImageDigest(const PayloadImage& image, uint64_t skipOffset, uint64_t skipSize,
                         uint8_t out[kSha256Size]) {
    Sha256Context c;
    Sha256Init(&c);
    const uint64_t stretches[2][2] = {{0, skipOffset}, {skipOffset + skipSize, image.size}};
    for (const auto& stretch : stretches)
        for (uint64_t at = stretch[0]; at < stretch[1];) {
            const size_t n = (size_t)std::min<uint64_t>(stretch[1] - at, 16u << 20);
            Sha256Update(&c, image.data + at, n);
            image.LetGo();
            at += n;
        }
    Sha256Final(&c, out);
}

std::string Hex(const uint8_t* bytes, size_t n) {
    std::string text;
    char two[3];
    for (size_t i = 0; i < n; ++i) {
        snprintf(two, sizeof two, "%02x", bytes[i]);
        text += two;
    }
    return text;
}

// Where a placed entry lies: "image", or the volumes its stored bytes run through.
std::string WhereText(const EntryPlace& place, const IntegrityRecord* record) {
    if (!place.placed || !(place.entry.flags & kPlacedInVolumes))
        return "image";
    // The first volume and, when it runs on, the last.
    std::string first, last;
    uint64_t start = 0;
    const uint64_t begin = place.entry.offset, end = begin + place.entry.storedSize;
    for (uint32_t i = 0; record && i < record->volumeCount; ++i) {
        PayloadVolume v;
        ReadPayloadVolume(record->volumes, i, &v);
        if (start < end && begin < start + v.size)
            (first.empty() ? first : last) = Shown(v.name);
        start += v.size;
    }
    return last.empty() ? first : first + ".." + last;
}

bool InVolumes(const EntryPlace& place) {
    return place.placed && (place.entry.flags & kPlacedInVolumes);
}

} // namespace

std::string FormatFileTime(uint64_t time) {
    // Days since 1601-01-01 to a civil date (the proleptic Gregorian calendar).
    const uint64_t seconds = time / 10000000ull;
    int64_t days = (int64_t)(seconds / 86400) - 134774; // now days since 1970-01-01
    const unsigned secs = (unsigned)(seconds % 86400);
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned doe = (unsigned)(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned day = doy - (153 * mp + 2) / 5 + 1;
    const unsigned month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = (int64_t)yoe + era * 400 + (month <= 2);
    char text[48];
    snprintf(text, sizeof text, "%04lld-%02u-%02u %02u:%02u:%02u", (long long)year, month, day,
             secs / 3600, secs / 60 % 60, secs % 60);
    return text;
}

int ListPayload(const PayloadImage& image, std::string* listing, std::string* error) {
    uint8_t* index = OpenArchiveImage(image.data, (uint32_t)image.size, AllocBlock, FreeBlock);
    if (!index) {
        *error = "the archive's index is damaged (see mkupdate verify)";
        return 0;
    }
    Coverage coverage;
    ReadCoverage(image, index, &coverage);
    const IntegrityRecord* record = RecordOf(coverage);
    char line[160];
    snprintf(line, sizeof line, "%14s %14s  %-10s %-9s %-19s  %-10s  %s\n", "size", "stored",
             "method", "scrambled", "time (UTC)", "lies in", "name");
    *listing = line;
    for (const EntryPlace& p : Places(index, record)) {
        if (p.rec == coverage.entry)
            continue; // not a file of the game
        snprintf(line, sizeof line, "%14llu %14llu  %-10s %-9s %-19s  ",
                 (unsigned long long)DecodedSizeOf(p),
                 (unsigned long long)(p.placed ? p.entry.storedSize : EntryStoredSize(p.rec)),
                 p.placed                   ? "chunked"
                 : EntryIsCompressed(p.rec) ? "compressed"
                                            : "stored",
                 EntryIsScrambled(p.rec) ? "yes" : "no", FormatFileTime(EntryTime(p.rec)).c_str());
        std::string where = WhereText(p, record);
        where.resize(std::max<size_t>(where.size(), 10), ' ');
        *listing += line + where + "  " + Shown(EntryName(p.rec)) + "\n";
    }
    if (record) {
        *listing += ListDeltas(index, *record);
        for (uint32_t i = 0; i < record->volumeCount; ++i) {
            PayloadVolume v;
            ReadPayloadVolume(record->volumes, i, &v);
            *listing += "volume " + Shown(v.name) + ": " + std::to_string(v.size) +
                        " bytes, SHA-256 " + Hex(v.digest, 8) + "...\n";
        }
    }
    *listing += CoverageLine(coverage) + "\n";
    free(index);
    return 1;
}

uint32_t CoveredVolumeCount(const PayloadImage& image) {
    uint8_t* index = OpenArchiveImage(image.data, (uint32_t)image.size, AllocBlock, FreeBlock);
    if (!index)
        return 0;
    Coverage coverage;
    ReadCoverage(image, index, &coverage);
    free(index);
    return RecordOf(coverage) ? coverage.record.volumeCount : 0;
}

std::string DescribeCoverage(const PayloadImage& image) {
    uint8_t* index = OpenArchiveImage(image.data, (uint32_t)image.size, AllocBlock, FreeBlock);
    if (!index)
        return "integrity: unknown (the index is damaged)";
    Coverage coverage;
    ReadCoverage(image, index, &coverage);
    free(index);
    return CoverageLine(coverage);
}

namespace {

// Checks every covered entry's decoded bytes, the volumes and the image against the integrity
// record, and the deltas against their descriptors (and against the bases given).
void CheckCoverage(const PayloadImage& image, const uint8_t* index, const Coverage& coverage,
                   const std::vector<std::filesystem::path>& bases, std::vector<std::string>* told,
                   std::vector<std::string>* problems) {
    if (!coverage.entry) {
        CheckDeltas(image, index, nullptr, nullptr, problems);
        if (!bases.empty())
            told->push_back("--base: the payload carries no deltas");
        return;
    }
    if (coverage.result != kIntegrityIntact) {
        problems->push_back(CoverageProblem(coverage));
        return;
    }
    const IntegrityRecord& r = coverage.record;
    VolumeStream volumes(image.folder, r);
    // The volumes are checked whole first: an entry in a volume that is missing or damaged is
    // told once, by its volume.
    const bool volumesSound = CheckVolumes(volumes, problems);
    if (r.volumeCount && volumesSound)
        told->push_back(std::to_string(r.volumeCount) +
                        (r.volumeCount == 1 ? " volume" : " volumes") +
                        " beside the payload, each of the size and SHA-256 its record gives");
    const std::vector<EntryPlace> places = Places(index, &r);
    for (uint32_t i = 0; i < r.entryCount; ++i) {
        const EntryPlace& p = places[i];
        if (InVolumes(p) && !volumesSound)
            continue;
        HashPieces hash;
        Sha256Init(&hash.sha);
        const EntryReadResult result = ReadEntry(image, p, &volumes, HashPiece, &hash);
        image.LetGo();
        uint8_t digest[kSha256Size];
        Sha256Final(&hash.sha, digest);
        // An entry in one block that does not decode is reported by the record checks already.
        if (result != kEntryReadOk) {
            if (p.placed)
                problems->push_back("entry " + Shown(EntryName(p.rec)) + ": " +
                                    EntryReadProblem(result, &volumes));
        } else if (memcmp(digest, r.entryDigests + (size_t)i * kSha256Size, kSha256Size) != 0) {
            problems->push_back("entry " + Shown(EntryName(p.rec)) +
                                ": its bytes do not match their hash in the integrity record");
        }
    }
    if (r.imageDigest) {
        uint8_t digest[kSha256Size];
        StreamedImageDigest(image, coverage.offset, EntryStoredSize(coverage.entry), digest);
        if (memcmp(digest, r.imageDigest, kSha256Size) != 0)
            problems->push_back("the archive's bytes do not match the image hash of the integrity "
                                "record");
    }
    CheckDeltas(image, index, &r, volumesSound ? &volumes : nullptr, problems);
    if (!bases.empty())
        ApplyDeltasToBases(image, index, r, volumesSound ? &volumes : nullptr, bases, told,
                           problems);
}

} // namespace

int VerifyPayload(const PayloadImage& image, std::vector<std::string>* problems,
                  const std::vector<std::filesystem::path>& bases, std::vector<std::string>* told) {
    problems->clear();
    std::vector<std::string> untold;
    if (!told)
        told = &untold;
    if (image.size < kArchiveHeaderSize || memcmp(image.data, "QV2", 4) != 0) {
        problems->push_back("no archive header (magic QV2)");
        return 0;
    }
    const uint32_t flags = LoadLE32(image.data + kHeaderFlagsOffset);
    if (flags & ~(kIndexCompressed | kIndexScrambled))
        problems->push_back("unknown index flags " + std::to_string(flags));
    const std::vector<uint8_t> records = DecodeIndex(image, problems);
    const uint32_t count = LoadLE32(image.data + kHeaderEntryCountOffset);
    if (records.size() != (size_t)count * kArchiveEntrySize)
        return 0;
    const uint32_t indexOffset = LoadLE32(image.data + kHeaderIndexOffsetOffset);
    uint64_t offset = kArchiveHeaderSize;
    std::set<std::string> seen;
    std::vector<std::pair<uint32_t, uint64_t>> streams; // position and offset of each to decode
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* rec = records.data() + (size_t)i * kArchiveEntrySize;
        if (!memchr(rec + kEntryNameOffset, 0, kEntryNameSize)) {
            problems->push_back("entry " + std::to_string(i + 1) + ": its name has no end");
            return 0;
        }
        if (!seen.insert(FoldName(EntryName(rec))).second)
            problems->push_back("entry " + Shown(EntryName(rec)) +
                                ": an earlier entry has the same name, so the updater never "
                                "reads this one");
        if (CheckRecord(image, rec, offset, indexOffset,
                        (i + 1 == count && IsIntegrityEntry(rec)) ||
                            IsDeltaEntryName(EntryName(rec)),
                        problems))
            streams.emplace_back(i, offset);
        offset += PaddedSize(EntryStoredSize(rec));
    }
    if (offset != indexOffset)
        problems->push_back("the index begins at " + std::to_string(indexOffset) +
                            ", not right after the entries at " + std::to_string(offset));
    if (!seen.count("UPDATE.INI"))
        problems->push_back("no UPDATE.INI entry: the updater stops at start-up");
    const bool laidOut = offset <= indexOffset && indexOffset <= image.size;
    std::vector<uint8_t> index(image.data, image.data + kArchiveHeaderSize);
    index.insert(index.end(), records.begin(), records.end());
    Coverage coverage;
    if (laidOut)
        ReadCoverage(image, index.data(), &coverage);
    // A placed entry says compressed but holds chunks, which its own reading checks.
    const IntegrityRecord* record = RecordOf(coverage);
    for (const auto& [position, at] : streams) {
        const uint8_t* rec = records.data() + (size_t)position * kArchiveEntrySize;
        PlacedEntry placed;
        if (record && FindPlacedEntry(record->placed, record->placedCount, position, &placed))
            continue;
        const std::string why = CheckStream(image.data + at, EntryStoredSize(rec),
                                            EntryIsScrambled(rec), EntryDecodedSize(rec));
        image.LetGo();
        if (!why.empty())
            problems->push_back("entry " + Shown(EntryName(rec)) + ": " + why);
    }
    if (laidOut)
        CheckCoverage(image, index.data(), coverage, bases, told, problems);
    return problems->empty() ? 1 : 0;
}

namespace {

struct ExtractSink {
    HostFileWriter* out;
    Sha256Context sha;
};

int WritePiece(void* context, const uint8_t* bytes, size_t size) {
    ExtractSink* sink = (ExtractSink*)context;
    Sha256Update(&sink->sha, bytes, size);
    return sink->out->Write(bytes, size);
}

// Writes one entry piece by piece through a temporary file, which takes the entry's name only
// when every byte was written and the whole matches its hash. record: the payload's integrity
// record, checked whole, or null when it has none.
int ExtractOne(const PayloadImage& image, const EntryPlace& place, const IntegrityRecord* record,
               VolumeStream* volumes, const std::filesystem::path& dir, std::string* error) {
    const std::string who = "entry " + Shown(EntryName(place.rec));
    const std::filesystem::path target = dir / HostName(EntryName(place.rec));
    std::error_code ec;
    std::filesystem::create_directories(target.parent_path(), ec);
    HostFileWriter out;
    if (!out.Open(target, error))
        return 0;
    ExtractSink sink{&out, {}};
    Sha256Init(&sink.sha);
    const EntryReadResult result = ReadEntry(image, place, volumes, WritePiece, &sink);
    image.LetGo();
    uint8_t digest[kSha256Size];
    Sha256Final(&sink.sha, digest);
    if (result == kEntryReadDamaged) {
        *error = who + ": damaged (see mkupdate verify)";
        return 0;
    }
    // Stopped: a write failed, which the commit tells and undoes.
    if (result == kEntryReadStopped)
        return out.Commit(nullptr, error);
    if (result != kEntryReadOk) {
        *error = who + ": " + EntryReadProblem(result, volumes) + "; not written";
        return 0;
    }
    if (record && (place.position >= record->entryCount ||
                   memcmp(digest, record->entryDigests + (size_t)place.position * kSha256Size,
                          kSha256Size) != 0)) {
        *error = who + ": its bytes do not match their hash in the integrity record; not written";
        return 0;
    }
    const uint64_t time = EntryTime(place.rec);
    return out.Commit(&time, error);
}

} // namespace

int ExtractPayload(const PayloadImage& image, const std::filesystem::path& dir,
                   const std::vector<std::string>& names, std::string* error,
                   std::vector<std::string>* told) {
    uint8_t* index = OpenArchiveImage(image.data, (uint32_t)image.size, AllocBlock, FreeBlock);
    if (!index) {
        *error = "the archive's index is damaged (see mkupdate verify)";
        return 0;
    }
    // Checked before anything is written.
    Coverage coverage;
    ReadCoverage(image, index, &coverage);
    if (coverage.entry && coverage.result != kIntegrityIntact) {
        *error = CoverageProblem(coverage) + " (see mkupdate verify)";
        free(index);
        return 0;
    }
    const IntegrityRecord* record = RecordOf(coverage);
    const std::vector<EntryPlace> places = Places(index, record);
    // Which records to write: the first of each name, as the updater finds them, each once;
    // never the integrity record nor a delta, which are no files of the game.
    const std::vector<std::string> deltaOnly =
        record ? DeltaOnlyTargets(index, *record) : std::vector<std::string>();
    std::vector<uint32_t> chosen;
    int ok = 1;
    if (names.empty()) {
        std::set<std::string> seen;
        for (const EntryPlace& p : places)
            if (p.rec != coverage.entry && !IsDeltaEntryName(EntryName(p.rec)) &&
                seen.insert(FoldName(EntryName(p.rec))).second)
                chosen.push_back(p.position);
        for (size_t i = 0; told && i < deltaOnly.size(); ++i)
            told->push_back(Shown(deltaOnly[i].c_str()) +
                            " travels only as deltas and is not written");
    }
    for (const std::string& wanted : names) {
        std::string name;
        uint32_t offset = 0;
        const uint8_t* rec = nullptr;
        if (NameInCodePage932(std::filesystem::u8path(wanted), &name))
            rec = LookupEntry(index, name.c_str(), SameName, &offset);
        bool onlyDeltas = false;
        for (const std::string& target : deltaOnly)
            onlyDeltas = onlyDeltas || FoldName(target) == FoldName(name);
        if (!rec && onlyDeltas) {
            *error = wanted + " travels only as deltas: the payload has no whole copy to extract";
            ok = 0;
            break;
        }
        if (!rec || rec == coverage.entry) {
            *error = "no entry named " + wanted;
            ok = 0;
            break;
        }
        if (IsDeltaEntryName(EntryName(rec))) {
            *error = "entry " + wanted +
                     " is a delta, no file of the game: extract writes only "
                     "files (mkupdate list tells what the deltas rebuild)";
            ok = 0;
            break;
        }
        const uint32_t position = PositionOf(index, rec);
        if (std::find(chosen.begin(), chosen.end(), position) == chosen.end())
            chosen.push_back(position);
    }
    for (size_t i = 0; ok && i < chosen.size(); ++i) {
        const char* name = EntryName(places[chosen[i]].rec);
        if (HostName(name).empty()) {
            *error = "entry " + Shown(name) + " has no safe file name: it " +
                     (EntryNameProblem(name).empty() ? std::string("is no CP932")
                                                     : EntryNameProblem(name));
            ok = 0;
        }
    }
    // The volumes the chosen entries lie in are checked whole before anything is written.
    std::unique_ptr<VolumeStream> volumes;
    if (record && record->volumeCount) {
        volumes.reset(new VolumeStream(image.folder, *record));
        bool needed = false;
        for (size_t i = 0; i < chosen.size(); ++i)
            needed = needed || InVolumes(places[chosen[i]]);
        std::vector<std::string> problems;
        if (ok && needed && !CheckVolumes(*volumes, &problems)) {
            *error = problems[0] +
                     (problems.size() > 1 ? " (and " + std::to_string(problems.size() - 1) +
                                                " more: see mkupdate verify)"
                                          : std::string()) +
                     "; nothing written";
            ok = 0;
        }
    }
    std::error_code ec;
    if (ok && !std::filesystem::create_directories(dir, ec) && ec) {
        *error = "cannot create " + Printable(dir) + ": " + ec.message();
        ok = 0;
    }
    for (size_t i = 0; ok && i < chosen.size(); ++i)
        ok = ExtractOne(image, places[chosen[i]], record, volumes.get(), dir, error);
    free(index);
    return ok;
}

int ApplyPayload(const PayloadImage& image, const std::filesystem::path& tree, int installedMode,
                 std::vector<std::string>* told, std::vector<std::string>* problems) {
    uint8_t* index = OpenArchiveImage(image.data, (uint32_t)image.size, AllocBlock, FreeBlock);
    if (!index) {
        problems->push_back("the archive's index is damaged");
        return 0;
    }
    Coverage coverage;
    ReadCoverage(image, index, &coverage);
    const IntegrityRecord* record = RecordOf(coverage);
    int ok = 0;
    if (!record) {
        problems->push_back(coverage.entry ? CoverageProblem(coverage)
                                           : "the payload has no integrity record");
    } else {
        VolumeStream volumes(image.folder, *record);
        ok = ApplyPayloadToTree(image, index, *record, record->volumeCount ? &volumes : nullptr,
                                tree, installedMode, told, problems);
    }
    free(index);
    return ok;
}
