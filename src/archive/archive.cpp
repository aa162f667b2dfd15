#include "archive/archive.h"

#include <string.h>

#include "archive/archive_index.h"
#include "archive/decompress.h"
#include "archive/payload_deltas.h"
#include "archive/payload_volumes.h"
#include "archive/scramble.h"
#include "core/messages.h"
#include "core/platform_ops.h"

const uint8_t* PayloadData = nullptr;
uint32_t PayloadSize = 0;
uint8_t* CurrentArchiveIndex = nullptr;
const uint8_t* ArchiveEntries = nullptr;
PayloadIntegrityState PayloadIntegrity = {0, {}, nullptr};

namespace {

// Entry names compare as the platform compares ANSI text, case-insensitively.
int SameEntryName(const char* a, const char* b) {
    return lstrcmpiA(a, b);
}

void ForgetIntegrity() {
    // The volumes were opened by the record's word.
    ClosePayloadVolumes();
    FreeFixed(PayloadIntegrity.block);
    PayloadIntegrity.covered = 0;
    PayloadIntegrity.block = nullptr;
}

uint32_t NextPart(const EntryReader& r) {
    return r.size - r.at < kEntryPartSize ? (uint32_t)(r.size - r.at) : kEntryPartSize;
}

// A delta entry is told by the file it rebuilds: its own name means nothing to a player.
const char* ShownEntryName(const uint8_t* rec) {
    if (PayloadIntegrity.covered && ArchiveEntries && rec >= ArchiveEntries &&
        IsDeltaEntryName(EntryName(rec))) {
        const uint32_t position = (uint32_t)((size_t)(rec - ArchiveEntries) / kArchiveEntrySize);
        for (uint32_t i = 0; i < PayloadIntegrity.record.deltaCount; ++i) {
            PayloadDelta d;
            ReadDeltaDescriptor(PayloadIntegrity.record.deltas, i, &d);
            if (d.entryPosition == position)
                return d.target;
        }
    }
    return EntryName(rec);
}

void ShowEntryDamaged(const uint8_t* rec) {
    ShowPayloadDamaged(ShownEntryName(rec));
}

// A placed entry's stored bytes: in the payload where the index puts them, or in the volumes
// from where the descriptor puts them.
int ReadStored(void* context, uint64_t offset, uint8_t* to, uint32_t n) {
    const EntryReader* r = (const EntryReader*)context;
    const PlacedEntry& e = r->chunked.entry;
    if (offset > e.storedSize || n > e.storedSize - offset)
        return 0;
    if (r->inVolumes)
        return ReadVolumeStream(e.offset + offset, to, n);
    memcpy(to, r->stored + offset, n);
    return 1;
}

// 1 when a chunked read went well; else 0 after the message of what went wrong.
int ChunkedReadOk(const EntryReader* r, ChunkReadResult result) {
    if (result == kChunkRead)
        return 1;
    if (result == kChunkNoMemory)
        ShowUpdaterError("Can't Allocate Memory !!");
    else if (result == kChunkReadFailed && r->inVolumes)
        ShowVolumeReadFailure();
    else
        ShowEntryDamaged(r->rec);
    return 0;
}

// A placed entry read whole into a new block and checked against its hash; for the few small
// entries the program reads whole (its texts), never for a game file.
int ReadPlacedWhole(const uint8_t* rec, uint32_t offset, uint64_t size, const uint8_t** bytes,
                    uint8_t** block) {
    *bytes = nullptr;
    *block = nullptr;
    if (size >= 0x80000000u) {
        ShowUpdaterError("Can't Allocate Memory !!");
        return 0;
    }
    uint8_t* whole = (uint8_t*)AllocFixed((size_t)size);
    if (!whole) {
        ShowUpdaterError("Can't Allocate Memory !!");
        return 0;
    }
    EntryReader r;
    int ok = OpenEntryReader(rec, offset, &r);
    if (ok) {
        while (ok && r.at < r.size)
            ok = ReadEntryPart(&r, whole + r.at, NextPart(r));
        CloseEntryReader(&r);
    }
    if (!ok || !CheckEntryIntegrity(rec, whole, size)) {
        FreeFixed(whole);
        return 0;
    }
    *bytes = *block = whole;
    return 1;
}

} // namespace

void ShowPayloadDamaged(const char* name) {
    char text[kMessageSize];
    wsprintfA(text, "アップデートデータが壊れています（%s）", name);
    ShowUpdaterError(text);
}

int PlacedEntryOf(const uint8_t* rec, PlacedEntry* out) {
    const IntegrityRecord& record = PayloadIntegrity.record;
    if (!PayloadIntegrity.covered || record.placedCount == 0 || !ArchiveEntries ||
        rec < ArchiveEntries)
        return 0;
    const size_t position = (size_t)(rec - ArchiveEntries) / kArchiveEntrySize;
    return position < record.entryCount &&
           FindPlacedEntry(record.placed, record.placedCount, (uint32_t)position, out);
}

uint64_t EntrySizeOf(const uint8_t* rec) {
    PlacedEntry placed;
    return PlacedEntryOf(rec, &placed) ? placed.decodedSize : EntryDecodedSize(rec);
}

uint8_t* OpenArchive() {
    return OpenArchiveImage(PayloadData, PayloadSize, AllocFixed, FreeFixed);
}

int UseArchiveIndex(uint8_t* index) {
    ForgetIntegrity();
    CurrentArchiveIndex = index;
    ArchiveEntries = index ? IndexRecords(index) : nullptr;
    return index != nullptr;
}

void CloseArchive() {
    ForgetIntegrity();
    FreeFixed(CurrentArchiveIndex);
    UseArchiveIndex(nullptr);
}

const uint8_t* LookupEntryRecord(const char* name, uint32_t* dataOffset) {
    return CurrentArchiveIndex && SameEntryName(name, kIntegrityEntryName) != 0
               ? LookupEntry(CurrentArchiveIndex, name, SameEntryName, dataOffset)
               : nullptr;
}

const uint8_t* FindEntryRecord(const char* name, uint32_t* dataOffset) {
    const uint8_t* rec = LookupEntryRecord(name, dataOffset);
    if (!rec)
        ShowUpdaterError("Can't Find File in Resource !!");
    return rec;
}

int ReportDecodeFailure(EntryDecodeResult result) {
    if (result == kEntryNoMemory)
        ShowUpdaterError("Can't Allocate Memory !!");
    else if (result == kEntryDamaged)
        ShowUpdaterError("RESOURCE READ ERROR");
    return result == kEntryDecoded;
}

const void* FindEntryData(const char* name, uint32_t* outSize) {
    uint32_t offset;
    const uint8_t* rec = FindEntryRecord(name, &offset);
    if (!rec)
        return nullptr;
    const uint8_t* bytes;
    uint8_t* block;
    if (!DecodeCheckedEntry(rec, offset, &bytes, &block))
        return nullptr;
    if (outSize)
        *outSize = (uint32_t)EntrySizeOf(rec);
    return bytes;
}

int DecodeCheckedEntry(const uint8_t* rec, uint32_t offset, const uint8_t** bytes,
                       uint8_t** block) {
    PlacedEntry placed;
    if (PlacedEntryOf(rec, &placed))
        return ReadPlacedWhole(rec, offset, placed.decodedSize, bytes, block);
    const EntryDecodeResult result =
        DecodeEntry(rec, PayloadData + offset, AllocFixed, FreeFixed, bytes, block);
    if (result == kEntryDamaged && PayloadIntegrity.covered) {
        ShowEntryDamaged(rec);
        return 0;
    }
    if (!ReportDecodeFailure(result))
        return 0;
    if (!CheckEntryIntegrity(rec, *bytes, EntryDecodedSize(rec))) {
        FreeFixed(*block);
        *block = nullptr;
        return 0;
    }
    return 1;
}

int CheckPayloadIntegrity() {
    ForgetIntegrity();
    uint32_t offset;
    const uint8_t* rec = CurrentArchiveIndex
                             ? FindIntegrityEntry(CurrentArchiveIndex, PayloadData, &offset)
                             : nullptr;
    if (!rec)
        return 1;
    const uint8_t* bytes = nullptr;
    uint8_t* block = nullptr;
    const EntryDecodeResult decoded =
        DecodeEntry(rec, PayloadData + offset, AllocFixed, FreeFixed, &bytes, &block);
    if (decoded == kEntryNoMemory)
        return ReportDecodeFailure(decoded);
    const uint32_t size = EntryDecodedSize(rec);
    const IntegrityCheckResult result =
        decoded == kEntryDecoded
            ? CheckIndexIntegrity(CurrentArchiveIndex, bytes, size, &PayloadIntegrity.record)
            : kIntegrityRecordDamaged;
    if (result == kIntegrityIntact) {
        PayloadIntegrity.covered = 1;
        PayloadIntegrity.block = block;
        return 1;
    }
    if (result == kIntegrityUnknownFeature) {
        char text[kMessageSize];
        wsprintfA(text,
                  "このアップデートプログラムでは扱えない形式のアップデートデータです（%08lX）",
                  (unsigned long)(size >= 12 ? LoadLE32(bytes + 8) : 0));
        ShowUpdaterError(text);
    } else {
        ShowUpdaterError("アップデートデータのファイル一覧が壊れています");
    }
    FreeFixed(block);
    return 0;
}

int PayloadImageIntact() {
    uint32_t offset;
    const uint8_t* rec = PayloadIntegrity.covered && PayloadIntegrity.record.imageDigest
                             ? FindIntegrityEntry(CurrentArchiveIndex, PayloadData, &offset)
                             : nullptr;
    if (!rec)
        return 0;
    uint8_t digest[kSha256Size];
    ImageDigest(PayloadData, PayloadSize, offset, EntryStoredSize(rec), digest);
    return memcmp(digest, PayloadIntegrity.record.imageDigest, kSha256Size) == 0;
}

int CheckEntryIntegrity(const uint8_t* rec, const uint8_t* decoded, uint64_t size) {
    uint8_t digest[kSha256Size];
    Sha256(decoded, size, digest);
    return CheckEntryDigest(rec, digest);
}

int CheckEntryDigest(const uint8_t* rec, const uint8_t digest[kSha256Size]) {
    if (!PayloadIntegrity.covered || !ArchiveEntries || rec < ArchiveEntries)
        return 1;
    const size_t position = (size_t)(rec - ArchiveEntries) / kArchiveEntrySize;
    // Only the record itself lies past the covered entries.
    if (position >= PayloadIntegrity.record.entryCount)
        return 1;
    if (memcmp(digest, PayloadIntegrity.record.entryDigests + position * kSha256Size,
               kSha256Size) == 0)
        return 1;
    ShowEntryDamaged(rec);
    return 0;
}

int OpenEntryReader(const uint8_t* rec, uint32_t offset, EntryReader* r) {
    memset(r, 0, sizeof *r);
    r->rec = rec;
    r->stored = PayloadData + offset;
    PlacedEntry placed;
    if (PlacedEntryOf(rec, &placed)) {
        r->placed = true;
        r->inVolumes = (placed.flags & kPlacedInVolumes) != 0;
        r->size = placed.decodedSize;
        return ChunkedReadOk(r, OpenChunkedReader(placed, EntryIsScrambled(rec), ReadStored, r,
                                                  AllocFixed, FreeFixed, &r->chunked));
    }
    r->size = EntryDecodedSize(rec);
    if (!EntryIsCompressed(rec))
        return 1;
    return DecodeCheckedEntry(rec, offset, &r->whole, &r->block);
}

int ReadEntryPart(EntryReader* r, uint8_t* to, uint32_t n) {
    if (r->placed) {
        if (!ChunkedReadOk(r, ReadChunked(&r->chunked, to, n)))
            return 0;
    } else if (r->whole) {
        memcpy(to, r->whole + r->at, n);
    } else {
        memcpy(to, r->stored + r->at, n);
        if (EntryIsScrambled(r->rec))
            ScrambleRange(to, n, (uint32_t)r->at, EntryStoredSize(r->rec));
    }
    r->at += n;
    return 1;
}

void CloseEntryReader(EntryReader* r) {
    if (r->placed)
        CloseChunkedReader(&r->chunked);
    r->placed = false;
    FreeFixed(r->block);
    r->block = nullptr;
    r->whole = nullptr;
}

int VerifyEntry(const char* name) {
    uint32_t offset;
    const uint8_t* rec = FindEntryRecord(name, &offset);
    EntryReader r;
    if (!rec || !OpenEntryReader(rec, offset, &r))
        return 0;
    // A compressed entry was checked as it was decoded.
    int ok = 1;
    if (!r.whole) {
        uint8_t* buffer = (uint8_t*)AllocFixed(kEntryPartSize);
        if (!buffer) {
            CloseEntryReader(&r);
            ShowUpdaterError("Can't Allocate Memory !!");
            return 0;
        }
        Sha256Context c;
        Sha256Init(&c);
        while (ok && r.at < r.size) {
            const uint32_t n = NextPart(r);
            ok = ReadEntryPart(&r, buffer, n);
            Sha256Update(&c, buffer, n);
        }
        uint8_t digest[kSha256Size];
        Sha256Final(&c, digest);
        FreeFixed(buffer);
        ok = ok && CheckEntryDigest(rec, digest);
    }
    CloseEntryReader(&r);
    return ok;
}
