#include "update/delta_target.h"

#include <windows.h>

#include <string.h>

#include "archive/archive.h"
#include "archive/delta_apply.h"
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

// The whole file at path into a new block; 0 when it cannot be read whole or its size is not
// the expected one.
int ReadWholeFile(const char* path, uint64_t size, uint8_t** block) {
    *block = nullptr;
    if (size > SIZE_MAX - 1)
        return 0;
    HANDLE h = OpenTargetForReading(path);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    DWORD high = 0;
    SetLastError(NO_ERROR);
    const DWORD low = PlatformOps.GetFileSize(h, &high);
    const bool sized = !(low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) &&
                       (((uint64_t)high << 32) | low) == size;
    // One byte more than needed, so that an empty base is a block too.
    uint8_t* bytes = sized ? (uint8_t*)AllocFixed((size_t)size + 1) : nullptr;
    const int read = bytes && ReadInParts(h, bytes, true, size, [](const uint8_t*, DWORD) {});
    PlatformOps.CloseHandle(h);
    if (!read) {
        FreeFixed(bytes);
        return 0;
    }
    *block = bytes;
    return 1;
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

uint64_t DeltaResultSize(uint32_t delta) {
    return DeltaAt(delta).resultSize;
}

const uint8_t* DeltaEntryRecord(uint32_t delta, uint32_t* dataOffset) {
    return EntryAtPosition(CurrentArchiveIndex, DeltaAt(delta).entryPosition, dataOffset);
}

int BuildDeltaResult(const char* path, uint32_t delta, uint8_t** result, uint64_t* size) {
    const PayloadDelta d = DeltaAt(delta);
    *result = nullptr;
    uint8_t* base;
    if (!ReadWholeFile(path, d.baseSize, &base))
        return ShowCannotReplace("「%s」を読み込めません", path);
    // The file was matched when the run was planned; it must still be that base.
    uint8_t digest[kSha256Size];
    Sha256(base, (size_t)d.baseSize, digest);
    if (memcmp(digest, d.baseDigest, kSha256Size) != 0) {
        FreeFixed(base);
        return ShowCannotReplace(
            "アップデートエラー：「%s」がアップデート対象のバージョンと違います", path);
    }
    uint32_t offset;
    const uint8_t* rec = DeltaEntryRecord(delta, &offset);
    const uint8_t* bytes = nullptr;
    uint8_t* block = nullptr;
    uint8_t* out = (uint8_t*)AllocFixed((size_t)d.resultSize + 1);
    uint8_t* scratch = (uint8_t*)AllocFixed(kDeltaScratchSize);
    int ok = 0;
    if (!out || !scratch) {
        ShowUpdaterError("Can't Allocate Memory !!");
    } else if (rec && DecodeCheckedEntry(rec, offset, &bytes, &block)) {
        size_t produced = 0;
        const DeltaStatus status =
            ApplyDelta(base, (size_t)d.baseSize, bytes, EntryDecodedSize(rec), out,
                       (size_t)d.resultSize, scratch, kDeltaScratchSize, &produced);
        if (status == kDeltaOk && produced == d.resultSize)
            Sha256(out, produced, digest);
        ok = status == kDeltaOk && produced == d.resultSize &&
             memcmp(digest, d.resultDigest, kSha256Size) == 0;
        if (!ok)
            ShowPayloadDamaged(d.target);
    }
    FreeFixed(block);
    FreeFixed(scratch);
    FreeFixed(base);
    if (!ok) {
        FreeFixed(out);
        return 0;
    }
    *result = out;
    *size = d.resultSize;
    return 1;
}
