// The [UPDATE] item grammar: any value of an UpdateFileNN or CopyFileNN key, as the profile
// reader hands it over (at most 1023 bytes, NUL-terminated), with any installed mode. Must not
// crash, and every item it stores must be a path that fits its field.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "update/update_items.h"

namespace {

bool IsLeadByte(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

void CheckPath(const char* path) {
    if (!memchr(path, 0, kPathSize))
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    // The first byte is the installed mode: the ten a selector can name, or one none can.
    const int32_t installedMode = data[0] < 0xF0 ? data[0] % 10 : -(int32_t)data[0];
    size_t length = size - 1;
    if (length > kTextSize - 1)
        length = kTextSize - 1;
    // An exactly sized copy: a read past the terminator is caught.
    std::vector<char> value(data + 1, data + 1 + length);
    value.push_back(0);

    UpdateItem update;
    memset(&update, 0x5A, sizeof update);
    const ItemKind kind = ParseUpdateItem(value.data(), installedMode, IsLeadByte, &update);
    if (kind == kItemStored || kind == kItemCheck) {
        CheckPath(update.path);
        if (update.nameOffset < 0 || (size_t)update.nameOffset > strlen(update.path))
            abort();
        if (update.mode < Always || update.mode > Overwrite)
            abort();
    } else if (kind != kItemSkipped) {
        abort();
    }

    CopyItem copy;
    memset(&copy, 0x5A, sizeof copy);
    const ItemKind copyKind = ParseCopyItem(value.data(), installedMode, &copy);
    if (copyKind == kItemStored) {
        CheckPath(copy.path);
        if (copy.disc < 0 || copy.disc > 9)
            abort();
    } else if (copyKind != kItemSkipped && copyKind != kItemBadDisc) {
        abort();
    }

    if (strlen(value.data()) < kPathSize) {
        const int32_t offset = NameOffset(value.data(), IsLeadByte);
        if (offset < 0 || (size_t)offset > strlen(value.data()))
            abort();
    }
    ParseByteCount(value.data());
    return 0;
}
