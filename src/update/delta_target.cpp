#include "update/delta_target.h"

#include <windows.h>

#include <string.h>

#include "archive/archive.h"
#include "archive/archive_index.h"
#include "archive/base_cache.h"
#include "archive/delta_apply.h"
#include "archive/file_sample.h"
#include "archive/payload_deltas.h"
#include "core/messages.h"
#include "core/platform_ops.h"
#include "update/progress.h"
#include "update/run_checks.h"
#include "update/staged_set.h"

namespace {

PayloadDelta DeltaAt(uint32_t i) {
    PayloadDelta d;
    ReadDeltaDescriptor(PayloadIntegrity.record.deltas, i, &d);
    return d;
}

uint32_t DeltaCount() {
    return PayloadIntegrity.covered ? PayloadIntegrity.record.deltaCount : 0;
}

// Reads size bytes of the open file from its start in parts, each into buffer (onward: one after
// another from buffer on) and handed to use; the dialog is kept alive between parts. 0 when a
// read fails or comes up short.
template <typename Use>
int ReadInParts(HANDLE h, uint8_t* buffer, bool onward, uint64_t size, Use use) {
    uint64_t done = 0;
    while (done < size) {
        const DWORD part = size - done < kPartSize ? (DWORD)(size - done) : kPartSize;
        uint8_t* into = onward ? buffer + done : buffer;
        DWORD got = 0;
        if (!PlatformOps.ReadFile(h, into, part, &got, nullptr) || got != part)
            return 0;
        use(into, part);
        done += part;
        PumpMessages();
    }
    return 1;
}

// The SHA-256 of the file at path, read in parts; 0 when it cannot be read whole.
int HashFile(const char* path, uint64_t size, uint8_t digest[kSha256Size]) {
    HANDLE h = OpenTargetForReading(path);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    uint8_t* buffer = (uint8_t*)AllocFixed(kPartSize);
    Sha256Context c;
    Sha256Init(&c);
    const int read = buffer && ReadInParts(h, buffer, false, size, [&](const uint8_t* p, DWORD n) {
                         Sha256Update(&c, p, n);
                     });
    PlatformOps.CloseHandle(h);
    FreeFixed(buffer);
    if (read)
        Sha256Final(&c, digest);
    return read;
}

} // namespace

int HasDeltasFor(const char* name, uint64_t* time) {
    for (uint32_t i = 0; i < DeltaCount(); ++i) {
        const PayloadDelta d = DeltaAt(i);
        if (lstrcmpiA(d.target, name) == 0) {
            *time = d.time;
            return 1;
        }
    }
    return 0;
}

namespace {

// Delta i's recorded samples, base then result, or null when the payload records none.
const uint8_t* SamplesOf(uint32_t i) {
    const uint8_t* all = PayloadIntegrity.record.deltaSamples;
    return all ? all + (size_t)i * kDeltaSampleSize : nullptr;
}

// The sampled identity of the open file of size bytes, read a block at a time; 0 when a span
// cannot be read.
int SampleOpenFile(HANDLE h, uint64_t size, uint8_t digest[kSha256Size]) {
    uint8_t* buffer = (uint8_t*)AllocFixed(kSampleBlockSize);
    if (!buffer)
        return 0;
    Sha256Context c;
    SampleBegin(&c, size);
    int read = 1;
    for (uint32_t i = 0; read && i < SampleSpanCount(size); ++i) {
        uint64_t offset;
        uint32_t length;
        SampleSpan(size, i, &offset, &length);
        for (uint32_t at = 0; read && at < length; at += kSampleBlockSize) {
            const uint32_t n = length - at < kSampleBlockSize ? length - at : kSampleBlockSize;
            read = ReadFileAt(h, offset + at, buffer, n);
            if (read)
                Sha256Update(&c, buffer, n);
        }
    }
    FreeFixed(buffer);
    if (read)
        Sha256Final(&c, digest);
    return read;
}

// What the samples alone tell of the installed file: kMatchNone when it is no recorded base
// and not the new file, kMatchBase (with *delta) when it can only be that one base, and
// kMatchUnreadable when it cannot be read; -1 when they leave a doubt.
int MatchBySamples(const char* path, uint64_t size, const char* name, uint32_t* delta) {
    HANDLE h = OpenTargetForReading(path);
    if (h == INVALID_HANDLE_VALUE)
        return kMatchUnreadable;
    uint8_t digest[kSha256Size];
    const int sampled = SampleOpenFile(h, size, digest);
    PlatformOps.CloseHandle(h);
    if (!sampled)
        return kMatchUnreadable;
    uint32_t bases = 0, results = 0;
    for (uint32_t i = 0; i < DeltaCount(); ++i) {
        const PayloadDelta d = DeltaAt(i);
        if (lstrcmpiA(d.target, name) != 0)
            continue;
        const uint8_t* samples = SamplesOf(i);
        if (d.baseSize == size && memcmp(samples, digest, kSha256Size) == 0) {
            ++bases;
            *delta = i;
        }
        if (d.resultSize == size && memcmp(samples + kSha256Size, digest, kSha256Size) == 0)
            ++results;
    }
    // A file that looks like the new one is left as it is only once it is proven to be it.
    if (bases == 0 && results == 0)
        return kMatchNone;
    return bases == 1 && results == 0 ? kMatchBase : -1;
}

} // namespace

InstalledMatch MatchInstalledFile(const char* path, uint64_t size, const char* name,
                                  uint32_t* delta) {
    bool sizeFits = false;
    for (uint32_t i = 0; i < DeltaCount(); ++i) {
        const PayloadDelta d = DeltaAt(i);
        if (lstrcmpiA(d.target, name) == 0 && (d.baseSize == size || d.resultSize == size))
            sizeFits = true;
    }
    // A file of no recorded size is not read at all.
    if (!sizeFits)
        return kMatchNone;
    if (SamplesOf(0)) {
        const int sampled = MatchBySamples(path, size, name, delta);
        if (sampled >= 0)
            return (InstalledMatch)sampled;
    }
    uint8_t digest[kSha256Size];
    if (!HashFile(path, size, digest))
        return kMatchUnreadable;
    InstalledMatch match = kMatchNone;
    for (uint32_t i = 0; i < DeltaCount() && match == kMatchNone; ++i) {
        const PayloadDelta d = DeltaAt(i);
        if (lstrcmpiA(d.target, name) != 0)
            continue;
        if (d.resultSize == size && memcmp(d.resultDigest, digest, kSha256Size) == 0) {
            match = kMatchResult;
        } else if (d.baseSize == size && memcmp(d.baseDigest, digest, kSha256Size) == 0) {
            match = kMatchBase;
            *delta = i;
        }
    }
    return match;
}

const char* DeltaTargetName(uint32_t delta) {
    return DeltaAt(delta).target;
}

uint64_t DeltaResultSize(uint32_t delta) {
    return DeltaAt(delta).resultSize;
}

const uint8_t* DeltaEntryRecord(uint32_t delta, uint32_t* dataOffset) {
    return EntryAtPosition(CurrentArchiveIndex, DeltaAt(delta).entryPosition, dataOffset);
}

namespace {

// The applier's scratch and the base cache's blocks, kept from one delta of a run to the next:
// taken anew for each, their pages were faulted in again every time (the models alone are
// megabytes), which cost a small file more than its bytes did.
struct DeltaMemoryRecord {
    uint8_t* scratch; // kDeltaScratchSize bytes
    uint8_t* blocks;  // kBaseCacheBytes bytes
};
DeltaMemoryRecord DeltaMemory;

// 1 when both are there, taken now if they were not.
int TakeDeltaMemory() {
    if (!DeltaMemory.scratch)
        DeltaMemory.scratch = (uint8_t*)AllocFixed(kDeltaScratchSize);
    if (!DeltaMemory.blocks)
        DeltaMemory.blocks = (uint8_t*)AllocFixed(kBaseCacheBytes);
    return DeltaMemory.scratch && DeltaMemory.blocks;
}

// One delta applied into a staged file. The base is the installed file, held open (others may
// only read it) from the check of its bytes until the result is staged.
struct DeltaRun {
    HANDLE base;
    uint64_t baseSize;
    BaseCache cache;
    EntryReader delta;
    bool deltaUnreadable;  // the reader has said why
    JournalAction* out;    // its staged file is hashed as it is written: the seal
    DeltaCheckState check; // the delta's own check of the result, computed beside the seal
    bool writeFailed;
};

int ReadBaseFile(void* context, uint64_t position, uint8_t* to, uint32_t size) {
    return ReadFileAt(((DeltaRun*)context)->base, position, to, size);
}

int ReadBase(void* context, uint64_t position, uint8_t* to, size_t size) {
    return BaseCacheRead(&((DeltaRun*)context)->cache, position, to, size);
}

ptrdiff_t ReadDelta(void* context, uint8_t* to, size_t size) {
    DeltaRun* r = (DeltaRun*)context;
    const uint64_t left = r->delta.size - r->delta.at;
    uint32_t n = size < kPartSize ? (uint32_t)size : kPartSize;
    n = left < n ? (uint32_t)left : n;
    if (!ReadEntryPart(&r->delta, to, n)) {
        r->deltaUnreadable = true;
        return -1;
    }
    return (ptrdiff_t)n;
}

// Every part written has been added to the check before WriteStaged returned.
uint64_t ResultCheck(void* context) {
    return DeltaCheckEnd(&((DeltaRun*)context)->check);
}

int WriteResult(void* context, const uint8_t* data, size_t size) {
    DeltaRun* r = (DeltaRun*)context;
    if (!WriteStaged(r->out, data, size, &r->check)) {
        r->writeFailed = true;
        return 0;
    }
    PumpMessages();
    return 1;
}

// Reads the base once from its start, through the cache's memory: its SHA-256 and its delta
// check value together. 0 when it cannot be read whole.
int SurveyBase(DeltaRun* r, uint8_t digest[kSha256Size], uint64_t* check) {
    Sha256Context c;
    Sha256Init(&c);
    DeltaCheckState s;
    DeltaCheckBegin(&s, r->baseSize);
    for (uint64_t at = 0; at < r->baseSize;) {
        const uint64_t left = r->baseSize - at;
        const uint32_t n = left < kBaseCacheBytes ? (uint32_t)left : kBaseCacheBytes;
        if (!ReadFileAt(r->base, at, DeltaMemory.blocks, n))
            return 0;
        Sha256Update(&c, DeltaMemory.blocks, n);
        DeltaCheckUpdate(&s, DeltaMemory.blocks, n);
        at += n;
        PumpMessages();
    }
    Sha256Final(&c, digest);
    *check = DeltaCheckEnd(&s);
    return 1;
}

// The base's sampled identity. A base that fits the cache is read into it whole, once, and
// sampled there; the delta's copies are then served from memory.
int SampleBase(DeltaRun* r, uint8_t digest[kSha256Size]) {
    if (r->baseSize > kBaseCacheBytes)
        return SampleOpenFile(r->base, r->baseSize, digest);
    if (!BaseCacheLoadWhole(&r->cache))
        return 0;
    SampleOfMemory(DeltaMemory.blocks, r->baseSize, digest);
    return 1;
}

uint64_t FileSizeOf(HANDLE h, bool* known) {
    DWORD high = 0;
    SetLastError(NO_ERROR);
    const DWORD low = PlatformOps.GetFileSize(h, &high);
    *known = !(low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR);
    return ((uint64_t)high << 32) | low;
}

// Applies the delta once the base is open and checked, by its whole check value (*baseCheck) or
// by its sample (kDeltaBaseProvenByResult): kDeltaStaged when the staged file holds the result
// and it matches its hash; kDeltaOtherBase, nothing said, when a base known by its sample turns
// out to be another; else kDeltaNotStaged after a message.
DeltaStaging ApplyIntoStaged(DeltaRun* r, JournalAction* a, const PayloadDelta& d,
                             const uint64_t* baseCheck) {
    uint32_t offset;
    const uint8_t* rec = EntryAtPosition(CurrentArchiveIndex, d.entryPosition, &offset);
    uint8_t* const scratch = DeltaMemory.scratch;
    if (!rec || !OpenEntryReader(rec, offset, &r->delta))
        return kDeltaNotStaged;
    r->out = a;
    DeltaStatus status = kDeltaWriteFailed;
    int sealed = 0;
    if (CreateStaged(a) != INVALID_HANDLE_VALUE) {
        const DeltaIo io = {r, ReadDelta, ReadBase, WriteResult, ResultCheck};
        DeltaCheckBegin(&r->check, d.resultSize);
        uint64_t produced = 0;
        status = ApplyDeltaStream(io, d.baseSize, baseCheck, scratch, kDeltaScratchSize, &produced);
        if (status == kDeltaOk && produced != d.resultSize)
            status = kDeltaCorrupt;
        // The seal, the digest of what was written, must be the recorded result's.
        sealed = FinishStaged(a, status == kDeltaOk, d.resultDigest);
        // The delta's own check passed, so a result other than the recorded one is the record's
        // fault, whatever the base.
        if (!sealed && status == kDeltaOk && memcmp(a->newDigest, d.resultDigest, kSha256Size))
            status = kDeltaCorrupt;
        else if (!sealed && status == kDeltaOk)
            status = kDeltaWriteFailed;
    }
    CloseEntryReader(&r->delta);
    if (sealed)
        return kDeltaStaged;
    // The delta's bytes were proven before the run began to write, so with a base known only by
    // its sample a result that is not the recorded one means another base.
    if (status == kDeltaBaseMismatch && baseCheck == kDeltaBaseProvenByResult)
        return kDeltaOtherBase;
    if (status == kDeltaWriteFailed) {
        ShowCannotReplace("「%s」を書き込めません", a->target);
        return kDeltaNotStaged;
    }
    if (status == kDeltaReadFailed && r->deltaUnreadable)
        return kDeltaNotStaged;
    if (status == kDeltaReadFailed) {
        ShowCannotReplace("「%s」を読み込めません", a->target);
        return kDeltaNotStaged;
    }
    ShowPayloadDamaged(d.target);
    return kDeltaNotStaged;
}

} // namespace

DeltaStaging StageDeltaResult(JournalAction* a, uint32_t delta) {
    const PayloadDelta d = DeltaAt(delta);
    const uint8_t* samples = SamplesOf(delta);
    DeltaRun r;
    memset(&r, 0, sizeof r);
    r.baseSize = d.baseSize;
    r.base = OpenTargetForReading(a->target);
    if (r.base == INVALID_HANDLE_VALUE) {
        ShowCannotReplace("「%s」を読み込めません", a->target);
        return kDeltaNotStaged;
    }
    const int memory = TakeDeltaMemory();
    BaseCacheInit(&r.cache, DeltaMemory.blocks, r.baseSize, ReadBaseFile, &r);
    DeltaStaging staged = kDeltaNotStaged;
    bool known = false;
    uint8_t digest[kSha256Size];
    uint64_t check = 0;
    // The file was matched when the run was planned; held from here on, it must still be that
    // base. A sample costs a megabyte; a payload without samples has the whole file read.
    if (!memory) {
        ShowUpdaterError("Can't Allocate Memory !!");
    } else if (FileSizeOf(r.base, &known) != d.baseSize || !known ||
               !(samples ? SampleBase(&r, digest) : SurveyBase(&r, digest, &check))) {
        ShowCannotReplace("「%s」を読み込めません", a->target);
    } else if (memcmp(digest, samples ? samples : d.baseDigest, kSha256Size) != 0) {
        staged = kDeltaOtherBase;
    } else {
        staged = ApplyIntoStaged(&r, a, d, samples ? kDeltaBaseProvenByResult : &check);
    }
    PlatformOps.CloseHandle(r.base);
    return staged;
}

void ReleaseDeltaMemory() {
    FreeFixed(DeltaMemory.scratch);
    FreeFixed(DeltaMemory.blocks);
    memset(&DeltaMemory, 0, sizeof DeltaMemory);
}
