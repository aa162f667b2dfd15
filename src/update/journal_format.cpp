#include "update/journal_format.h"

#include <string.h>

#include "archive/archive_format.h"
#include "archive/sha256.h"

namespace {

const uint8_t kMagic[4] = {'Q', 'V', 'J', '1'};
const size_t kHeaderSize = 16;
const size_t kFixedActionSize = 4 + 4 + 4 + 8 + 8 + 8 + 32;
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
        memcpy(a.newDigest, p + 36, sizeof a.newDigest);
        p += kFixedActionSize;
        if (a.kind < kReplaceFile || a.kind > kRemoveFolder || a.existed > 1)
            return 0;
        if (!TakePath(&p, end, a.target) || !TakePath(&p, end, a.staged) ||
            !TakePath(&p, end, a.backup) || !a.target[0])
            return 0;
        if (out)
            out[i] = a;
    }
    return p == end;
}

// Checks the header, the digest and the folders; *actions is where the actions begin.
JournalReadResult Check(const uint8_t* data, size_t size, uint32_t* count, JournalFolders* folders,
                        const uint8_t** actions) {
    if (size < kHeaderSize + kDigestSize || memcmp(data, kMagic, 4) != 0 ||
        LoadLE32(data + 4) != kJournalVersion)
        return kJournalDamaged;
    uint8_t digest[kDigestSize];
    Sha256(data, size - kDigestSize, digest);
    if (memcmp(digest, data + size - kDigestSize, kDigestSize) != 0)
        return kJournalDamaged;
    folders->state = LoadLE32(data + 8);
    *count = LoadLE32(data + 12);
    if (*count > kMaxJournalActions ||
        (folders->state != kJournalInForce && folders->state != kJournalCommitted))
        return kJournalDamaged;
    const uint8_t* p = data + kHeaderSize;
    const uint8_t* end = data + size - kDigestSize;
    if (!TakePath(&p, end, folders->install) || !folders->install[0] ||
        !TakePath(&p, end, folders->data))
        return kJournalDamaged;
    *actions = p;
    return kJournalRead;
}

} // namespace

size_t JournalSize(const JournalFolders& folders, const JournalAction* actions, uint32_t count) {
    size_t size = kHeaderSize + kDigestSize + 4 + strlen(folders.install) + strlen(folders.data);
    for (uint32_t i = 0; i < count; ++i)
        size += kFixedActionSize + PathsSize(actions[i]);
    return size;
}

void WriteJournal(const JournalFolders& folders, const JournalAction* actions, uint32_t count,
                  uint8_t* out) {
    uint8_t* p = out;
    memcpy(p, kMagic, 4);
    StoreLE32(p + 4, kJournalVersion);
    StoreLE32(p + 8, folders.state);
    StoreLE32(p + 12, count);
    p += kHeaderSize;
    p = PutPath(p, folders.install);
    p = PutPath(p, folders.data);
    for (uint32_t i = 0; i < count; ++i) {
        const JournalAction& a = actions[i];
        StoreLE32(p, a.kind);
        StoreLE32(p + 4, a.existed);
        StoreLE32(p + 8, a.oldAttributes);
        StoreLE64(p + 12, a.oldSize);
        StoreLE64(p + 20, a.oldWriteTime);
        StoreLE64(p + 28, a.newSize);
        memcpy(p + 36, a.newDigest, sizeof a.newDigest);
        p += kFixedActionSize;
        p = PutPath(p, a.target);
        p = PutPath(p, a.staged);
        p = PutPath(p, a.backup);
    }
    Sha256(out, (size_t)(p - out), p);
}

JournalReadResult CountJournalActions(const uint8_t* data, size_t size, uint32_t* count) {
    JournalFolders folders;
    const uint8_t* actions = nullptr;
    const JournalReadResult r = Check(data, size, count, &folders, &actions);
    if (r != kJournalRead)
        return r;
    return WalkActions(actions, data + size - kDigestSize, *count, nullptr) ? kJournalRead
                                                                            : kJournalDamaged;
}

JournalReadResult ReadJournal(const uint8_t* data, size_t size, JournalFolders* folders,
                              JournalAction* out, uint32_t capacity, uint32_t* count) {
    const JournalReadResult r = CountJournalActions(data, size, count);
    if (r != kJournalRead)
        return r;
    if (*count > capacity)
        return kJournalTooLarge;
    const uint8_t* actions = nullptr;
    Check(data, size, count, folders, &actions);
    WalkActions(actions, data + size - kDigestSize, *count, out);
    return kJournalRead;
}
