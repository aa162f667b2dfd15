#include "update/update_items.h"

#include <string.h>

namespace {

bool IsSelector(const char* field) {
    return field[0] >= '0' && field[0] <= '9' && !field[1];
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c;
}

// The mode a one-letter word names, or -1 when the field is no mode word; 'e' gives -2.
int ModeWordOf(const char* field) {
    if (!field[0] || field[1])
        return -1;
    switch (Lower(field[0])) {
    case 'd':
        return Data;
    case 'u':
        return Update;
    case 'o':
        return Overwrite;
    case 'e':
        return -2;
    default:
        return -1;
    }
}

} // namespace

int32_t NameOffset(const char* path, LeadByteFn isLead) {
    int32_t offset = 0;
    for (int32_t i = 0; path[i]; ++i) {
        if (isLead((unsigned char)path[i])) {
            if (!path[i + 1])
                break;
            ++i;
        } else if (path[i] == '\\') {
            offset = i + 1;
        }
    }
    return offset;
}

ItemKind ParseUpdateItem(const char* value, int32_t installedMode, LeadByteFn isLead,
                         UpdateItem* item) {
    char fields[3][kPathSize];
    const char* cursor = value;
    for (int f = 0; f < 3; ++f) {
        if (!NextListItem(fields[f], &cursor)) {
            for (int rest = f; rest < 3; ++rest)
                fields[rest][0] = 0;
            break;
        }
    }
    const int s = IsSelector(fields[0]) ? 1 : 0;
    const bool applies = !s || fields[0][0] - '0' == installedMode;
    const char* word = fields[s];
    const char* path = fields[s + 1];
    const int mode = ModeWordOf(word);
    if (mode == -2) {
        strcpy(item->path, path);
        item->mode = Always;
        item->nameOffset = 0;
        return kItemCheck;
    }
    if (!applies)
        return kItemSkipped;
    if (mode < 0) {
        item->mode = Always;
        path = word;
    } else {
        item->mode = mode;
    }
    strcpy(item->path, path);
    item->nameOffset = NameOffset(item->path, isLead);
    return kItemStored;
}

ItemKind ParseCopyItem(const char* value, int32_t installedMode, CopyItem* item) {
    const char* p = value;
    bool applies = true;
    if (p[0] && p[1] == ',') {
        applies = p[0] - '0' == installedMode;
        p += 2;
    }
    if (!applies)
        return kItemSkipped;
    item->disc = 0;
    if (p[0] && p[1] == ':') {
        if (p[0] < '0' || p[0] > '9')
            return kItemBadDisc;
        item->disc = p[0] - '0';
        p += 2;
    }
    strncpy(item->path, p, kPathSize - 1);
    item->path[kPathSize - 1] = 0;
    return kItemStored;
}

uint64_t ParseByteCount(const char* text) {
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    // A negative count is cut to 32 bits as the original check took it: -1 asks for 4 GiB less
    // one byte.
    if (*p == '-')
        return (uint32_t)ParseDecimal(text);
    if (*p == '+')
        ++p;
    uint64_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        const unsigned digit = (unsigned)(*p - '0');
        if (value > (UINT64_MAX - digit) / 10)
            return UINT64_MAX;
        value = value * 10 + digit;
    }
    return value;
}
