#include "mkupdate/inspect.h"
#include "mkupdate/index_memory.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <set>

#include "archive/archive_index.h"
#include "archive/decompress.h"
#include "archive/payload_deltas.h"
#include "archive/payload_integrity.h"
#include "archive/scramble.h"
#include "mkupdate/build.h"
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
std::vector<uint8_t> DecodeIndex(const std::vector<uint8_t>& image,
                                 std::vector<std::string>* problems) {
    const uint32_t flags = LoadLE32(image.data() + kHeaderFlagsOffset);
    const uint32_t indexOffset = LoadLE32(image.data() + kHeaderIndexOffsetOffset);
    const uint64_t recordBytes =
        (uint64_t)LoadLE32(image.data() + kHeaderEntryCountOffset) * kArchiveEntrySize;
    if (indexOffset < kArchiveHeaderSize || indexOffset > image.size()) {
        problems->push_back("the index offset lies outside the archive");
        return {};
    }
    const uint32_t tail = (uint32_t)(image.size() - indexOffset);
    const uint8_t* stream = image.data() + indexOffset;
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
void ReadCoverage(const std::vector<uint8_t>& image, const uint8_t* index, Coverage* c) {
    c->entry = FindIntegrityEntry(index, image.data(), &c->offset);
    if (!c->entry)
        return;
    const uint8_t* bytes;
    uint8_t* block = nullptr;
    if (DecodeEntry(c->entry, image.data() + c->offset, AllocBlock, FreeBlock, &bytes, &block) !=
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
    return "integrity: covered (SHA-256 of the index and of each of " +
           std::to_string(c.record.entryCount) + " entries; required features " +
           DescribeFeatures(c.record.requiredFeatures) + ")";
}

// The position of rec in the index; the record covers positions below its entry count.
uint32_t PositionOf(const uint8_t* index, const uint8_t* rec) {
    return (uint32_t)((size_t)(rec - IndexRecords(index)) / kArchiveEntrySize);
}

// reserved: the record is the integrity record or a delta, whose reserved names are ones no file
// can take and which are never extracted.
void CheckRecord(const std::vector<uint8_t>& image, const uint8_t* rec, uint64_t offset,
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
        return;
    }
    for (uint64_t i = offset + stored; i < offset + PaddedSize(stored) && i < indexOffset; ++i)
        if (image[(size_t)i]) {
            problems->push_back(who + "its padding is not zero");
            break;
        }
    const uint8_t* bytes = image.data() + offset;
    if (!EntryIsCompressed(rec)) {
        if (decoded != stored)
            problems->push_back(who + "stored as is, but its sizes differ");
        return;
    }
    if (decoded > MaxDecodedSize(stored)) {
        problems->push_back(who + "its decoded size is more than its stream can hold");
        return;
    }
    const std::string streamWhy = CheckStream(bytes, stored, EntryIsScrambled(rec), decoded);
    if (!streamWhy.empty())
        problems->push_back(who + streamWhy);
}

// coverage: the payload's integrity record, checked whole, or null when it has none; position:
// the entry's place in the index.
int ExtractOne(const uint8_t* rec, uint8_t* stored, const Coverage* coverage, uint32_t position,
               const std::filesystem::path& dir, std::vector<uint8_t>* decoded,
               std::string* error) {
    const uint32_t storedSize = EntryStoredSize(rec);
    if (EntryIsScrambled(rec))
        Scramble(stored, storedSize);
    const uint8_t* bytes = stored;
    if (EntryIsCompressed(rec)) {
        if (decoded->size() < EntryDecodedSize(rec))
            decoded->resize(EntryDecodedSize(rec));
        if (!Decompress(decoded->data(), EntryDecodedSize(rec), stored, storedSize)) {
            *error = "entry " + Shown(EntryName(rec)) + ": damaged (see mkupdate verify)";
            return 0;
        }
        bytes = decoded->data();
    }
    if (coverage && !EntryDigestMatches(coverage->record, position, bytes, EntryDecodedSize(rec))) {
        *error = "entry " + Shown(EntryName(rec)) +
                 ": its bytes do not match their hash in the integrity record; not written";
        return 0;
    }
    const std::filesystem::path target = dir / HostName(EntryName(rec));
    const uint64_t time = EntryTime(rec);
    std::error_code ec;
    std::filesystem::create_directories(target.parent_path(), ec);
    return WriteHostFile(target, bytes, EntryDecodedSize(rec), &time, error);
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

int ListPayload(const std::vector<uint8_t>& image, std::string* listing, std::string* error) {
    uint8_t* index = OpenArchiveImage(image.data(), (uint32_t)image.size(), AllocBlock, FreeBlock);
    if (!index) {
        *error = "the archive's index is damaged (see mkupdate verify)";
        return 0;
    }
    Coverage coverage;
    ReadCoverage(image, index, &coverage);
    const uint32_t count = IndexEntryCount(index);
    char line[128];
    snprintf(line, sizeof line, "%10s %10s  %-10s %-9s %-19s  %s\n", "size", "stored", "method",
             "scrambled", "time (UTC)", "name");
    *listing = line;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* rec = IndexRecords(index) + (size_t)i * kArchiveEntrySize;
        if (rec == coverage.entry)
            continue; // not a file of the game
        snprintf(line, sizeof line, "%10u %10u  %-10s %-9s %-19s  ", EntryDecodedSize(rec),
                 EntryStoredSize(rec), EntryIsCompressed(rec) ? "compressed" : "stored",
                 EntryIsScrambled(rec) ? "yes" : "no", FormatFileTime(EntryTime(rec)).c_str());
        *listing += line + Shown(EntryName(rec)) + "\n";
    }
    if (coverage.entry && coverage.result == kIntegrityIntact)
        *listing += ListDeltas(index, coverage.record);
    *listing += CoverageLine(coverage) + "\n";
    free(index);
    return 1;
}

std::string DescribeCoverage(const std::vector<uint8_t>& image) {
    uint8_t* index = OpenArchiveImage(image.data(), (uint32_t)image.size(), AllocBlock, FreeBlock);
    if (!index)
        return "integrity: unknown (the index is damaged)";
    Coverage coverage;
    ReadCoverage(image, index, &coverage);
    free(index);
    return CoverageLine(coverage);
}

namespace {

// Checks every covered entry's decoded bytes, and the image, against the integrity record, and
// the deltas against their descriptors (and against the bases given).
void CheckCoverage(const std::vector<uint8_t>& image, const uint8_t* index,
                   const std::vector<std::filesystem::path>& bases, std::vector<std::string>* told,
                   std::vector<std::string>* problems) {
    Coverage coverage;
    ReadCoverage(image, index, &coverage);
    if (!coverage.entry) {
        CheckDeltas(image, index, nullptr, problems);
        if (!bases.empty())
            told->push_back("--base: the payload carries no deltas");
        return;
    }
    if (coverage.result != kIntegrityIntact) {
        problems->push_back(CoverageProblem(coverage));
        return;
    }
    const IntegrityRecord& r = coverage.record;
    uint64_t offset = kArchiveHeaderSize;
    for (uint32_t i = 0; i < r.entryCount; ++i) {
        const uint8_t* rec = IndexRecords(index) + (size_t)i * kArchiveEntrySize;
        const uint8_t* bytes;
        uint8_t* block = nullptr;
        // An entry that does not decode is reported by the record checks already.
        if (offset + EntryStoredSize(rec) <= image.size() &&
            DecodeEntry(rec, image.data() + offset, AllocBlock, FreeBlock, &bytes, &block) ==
                kEntryDecoded) {
            if (!EntryDigestMatches(r, i, bytes, EntryDecodedSize(rec)))
                problems->push_back("entry " + Shown(EntryName(rec)) +
                                    ": its bytes do not match their hash in the integrity record");
            free(block);
        }
        offset += PaddedSize(EntryStoredSize(rec));
    }
    if (r.imageDigest) {
        uint8_t digest[kSha256Size];
        ImageDigest(image.data(), (uint32_t)image.size(), coverage.offset,
                    EntryStoredSize(coverage.entry), digest);
        if (memcmp(digest, r.imageDigest, kSha256Size) != 0)
            problems->push_back("the archive's bytes do not match the image hash of the integrity "
                                "record");
    }
    CheckDeltas(image, index, &r, problems);
    if (!bases.empty())
        ApplyDeltasToBases(image, index, r, bases, told, problems);
}

} // namespace

int VerifyPayload(const std::vector<uint8_t>& image, std::vector<std::string>* problems,
                  const std::vector<std::filesystem::path>& bases, std::vector<std::string>* told) {
    problems->clear();
    std::vector<std::string> untold;
    if (!told)
        told = &untold;
    if (image.size() < kArchiveHeaderSize || memcmp(image.data(), "QV2", 4) != 0) {
        problems->push_back("no archive header (magic QV2)");
        return 0;
    }
    const uint32_t flags = LoadLE32(image.data() + kHeaderFlagsOffset);
    if (flags & ~(kIndexCompressed | kIndexScrambled))
        problems->push_back("unknown index flags " + std::to_string(flags));
    const std::vector<uint8_t> records = DecodeIndex(image, problems);
    const uint32_t count = LoadLE32(image.data() + kHeaderEntryCountOffset);
    if (records.size() != (size_t)count * kArchiveEntrySize)
        return 0;
    const uint32_t indexOffset = LoadLE32(image.data() + kHeaderIndexOffsetOffset);
    uint64_t offset = kArchiveHeaderSize;
    std::set<std::string> seen;
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
        CheckRecord(image, rec, offset, indexOffset,
                    (i + 1 == count && IsIntegrityEntry(rec)) || IsDeltaEntryName(EntryName(rec)),
                    problems);
        offset += PaddedSize(EntryStoredSize(rec));
    }
    if (offset != indexOffset)
        problems->push_back("the index begins at " + std::to_string(indexOffset) +
                            ", not right after the entries at " + std::to_string(offset));
    if (!seen.count("UPDATE.INI"))
        problems->push_back("no UPDATE.INI entry: the updater stops at start-up");
    if (offset <= indexOffset && indexOffset <= image.size()) {
        std::vector<uint8_t> index(image.begin(), image.begin() + kArchiveHeaderSize);
        index.insert(index.end(), records.begin(), records.end());
        CheckCoverage(image, index.data(), bases, told, problems);
    }
    return problems->empty() ? 1 : 0;
}

int ExtractPayload(std::vector<uint8_t>* image, const std::filesystem::path& dir,
                   const std::vector<std::string>& names, std::string* error,
                   std::vector<std::string>* told) {
    uint8_t* index =
        OpenArchiveImage(image->data(), (uint32_t)image->size(), AllocBlock, FreeBlock);
    if (!index) {
        *error = "the archive's index is damaged (see mkupdate verify)";
        return 0;
    }
    // Checked before anything is written, and before any entry is unscrambled in place.
    Coverage coverage;
    ReadCoverage(*image, index, &coverage);
    if (coverage.entry && coverage.result != kIntegrityIntact) {
        *error = CoverageProblem(coverage) + " (see mkupdate verify)";
        free(index);
        return 0;
    }
    // Which records to write: the first of each name, as the updater finds them, each once;
    // never the integrity record nor a delta, which are no files of the game.
    const std::vector<std::string> deltaOnly =
        coverage.entry ? DeltaOnlyTargets(index, coverage.record) : std::vector<std::string>();
    std::vector<const uint8_t*> chosen;
    std::vector<uint32_t> offsets;
    int ok = 1;
    if (names.empty()) {
        std::set<std::string> seen;
        uint64_t offset = kArchiveHeaderSize;
        for (uint32_t i = 0; i < IndexEntryCount(index); ++i) {
            const uint8_t* rec = IndexRecords(index) + (size_t)i * kArchiveEntrySize;
            if (rec != coverage.entry && !IsDeltaEntryName(EntryName(rec)) &&
                seen.insert(FoldName(EntryName(rec))).second) {
                chosen.push_back(rec);
                offsets.push_back((uint32_t)offset);
            }
            offset += PaddedSize(EntryStoredSize(rec));
        }
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
        if (std::find(chosen.begin(), chosen.end(), rec) == chosen.end()) {
            chosen.push_back(rec);
            offsets.push_back(offset);
        }
    }
    for (size_t i = 0; ok && i < chosen.size(); ++i)
        if (HostName(EntryName(chosen[i])).empty()) {
            *error = "entry " + Shown(EntryName(chosen[i])) + " has no safe file name: it " +
                     (EntryNameProblem(EntryName(chosen[i])).empty()
                          ? std::string("is no CP932")
                          : EntryNameProblem(EntryName(chosen[i])));
            ok = 0;
        }
    std::error_code ec;
    if (ok && !std::filesystem::create_directories(dir, ec) && ec) {
        *error = "cannot create " + Printable(dir) + ": " + ec.message();
        ok = 0;
    }
    // One buffer for every entry: it only grows, so it is neither zeroed nor faulted in again.
    std::vector<uint8_t> decoded;
    for (size_t i = 0; ok && i < chosen.size(); ++i)
        ok = ExtractOne(chosen[i], image->data() + offsets[i], coverage.entry ? &coverage : nullptr,
                        PositionOf(index, chosen[i]), dir, &decoded, error);
    free(index);
    return ok;
}
