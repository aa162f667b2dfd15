#include "update/journal_format.h"

#include <string.h>

#include "archive/archive_format.h"
#include "archive/sha256.h"

const char kJournalName[] = "UPDATE.JNL";
const char kCommittedJournalName[] = "UPDATEOK.JNL";
const char kUnfinishedJournalName[] = "UPDATENEW.JNL";

namespace {

const uint8_t kMagic[4] = {'Q', 'V', 'J', '1'};
const size_t kHeaderSize = 12;
const size_t kFixedActionSize = 4 + 4 + 4 + 8 + 8 + 8;
const size_t kDigestSize = 32;

size_t PathsSize(const JournalAction& a) {
    return 3 * 2 + strlen(a.target) + strlen(a.staged) + strlen(a.backup);
}

uint8_t* PutPath(uint8_t* p, const char* path) {
    const size_t length = strlen(path);
    p[0] = (uint8_t)length;
    p[1] = (uint8_t)(length >> 8);
    memcpy(p + 2, path, length);
    return p + 2 + length;
}

// Reads one path; 0 when it runs past the end, does not fit a path buffer or holds a NUL.
int TakePath(const uint8_t** p, const uint8_t* end, char out[kPathSize]) {
    if (end - *p < 2)
        return 0;
    const size_t length = (size_t)(*p)[0] | ((size_t)(*p)[1] << 8);
    *p += 2;
    if (length >= kPathSize || (size_t)(end - *p) < length || memchr(*p, 0, length))
        return 0;
    memcpy(out, *p, length);
    out[length] = 0;
    *p += length;
    return 1;
}

// Walks the actions, storing each in out when given; 0 at the first sign of damage.
int WalkActions(const uint8_t* p, const uint8_t* end, uint32_t count, JournalAction* out) {
    for (uint32_t i = 0; i < count; ++i) {
        if ((size_t)(end - p) < kFixedActionSize)
            return 0;
        JournalAction a;
        a.kind = LoadLE32(p);
        a.existed = LoadLE32(p + 4);
        a.oldAttributes = LoadLE32(p + 8);
        a.oldSize = LoadLE64(p + 12);
        a.oldWriteTime = LoadLE64(p + 20);
        a.newSize = LoadLE64(p + 28);
        p += kFixedActionSize;
        if (a.kind < kReplaceFile || a.kind > kDeleteFile || a.existed > 1)
            return 0;
        if (!TakePath(&p, end, a.target) || !TakePath(&p, end, a.staged) ||
            !TakePath(&p, end, a.backup) || !a.target[0])
            return 0;
        if (out)
            out[i] = a;
    }
    return p == end;
}

JournalReadResult Check(const uint8_t* data, size_t size, uint32_t* count) {
    if (size < kHeaderSize + kDigestSize || memcmp(data, kMagic, 4) != 0 ||
        LoadLE32(data + 4) != kJournalVersion)
        return kJournalDamaged;
    uint8_t digest[kDigestSize];
    Sha256(data, size - kDigestSize, digest);
    if (memcmp(digest, data + size - kDigestSize, kDigestSize) != 0)
        return kJournalDamaged;
    *count = LoadLE32(data + 8);
    if (*count > kMaxJournalActions)
        return kJournalDamaged;
    return kJournalRead;
}

} // namespace

size_t JournalSize(const JournalAction* actions, uint32_t count) {
    size_t size = kHeaderSize + kDigestSize;
    for (uint32_t i = 0; i < count; ++i)
        size += kFixedActionSize + PathsSize(actions[i]);
    return size;
}

void WriteJournal(const JournalAction* actions, uint32_t count, uint8_t* out) {
    uint8_t* p = out;
    memcpy(p, kMagic, 4);
    StoreLE32(p + 4, kJournalVersion);
    StoreLE32(p + 8, count);
    p += kHeaderSize;
    for (uint32_t i = 0; i < count; ++i) {
        const JournalAction& a = actions[i];
        StoreLE32(p, a.kind);
        StoreLE32(p + 4, a.existed);
        StoreLE32(p + 8, a.oldAttributes);
        StoreLE64(p + 12, a.oldSize);
        StoreLE64(p + 20, a.oldWriteTime);
        StoreLE64(p + 28, a.newSize);
        p += kFixedActionSize;
        p = PutPath(p, a.target);
        p = PutPath(p, a.staged);
        p = PutPath(p, a.backup);
    }
    Sha256(out, (size_t)(p - out), p);
}

JournalReadResult CountJournalActions(const uint8_t* data, size_t size, uint32_t* count) {
    const JournalReadResult r = Check(data, size, count);
    if (r != kJournalRead)
        return r;
    return WalkActions(data + kHeaderSize, data + size - kDigestSize, *count, nullptr)
               ? kJournalRead
               : kJournalDamaged;
}

JournalReadResult ReadJournal(const uint8_t* data, size_t size, JournalAction* out,
                              uint32_t capacity, uint32_t* count) {
    const JournalReadResult r = CountJournalActions(data, size, count);
    if (r != kJournalRead)
        return r;
    if (*count > capacity)
        return kJournalTooLarge;
    WalkActions(data + kHeaderSize, data + size - kDigestSize, *count, out);
    return kJournalRead;
}
