#include "core/text.h"

#include <string.h>

int32_t ItemDiskNumber = 0;

int NextListItem(char* item, const char** cursor) {
    const char* p = *cursor;
    while (IsBlank(*p))
        ++p;
    *cursor = p;
    if (IsItemEnd(*p))
        return 0;
    // A single byte before a colon, at the start of an item, is a disc prefix.
    if (p[1] == ':') {
        ItemDiskNumber = (*p >= '0' && *p <= '9') ? *p - '0' : 0;
        p += 2;
    }
    size_t n = 0;
    for (; !IsItemEnd(*p); ++p) {
        if (n < kPathSize - 1)
            item[n++] = *p;
    }
    item[n] = 0;
    *cursor = *p ? p + 1 : p;
    return 1;
}

int JoinPathWith(char* folder, size_t capacity, const char* name, CharStepFn step) {
    const size_t length = strlen(folder);
    bool needSeparator = true;
    if (length) {
        // Only a last character that is a single-byte backslash counts: a trail byte 0x5C of a
        // double-byte character does not.
        const char* last = folder;
        for (const char* p = folder; *p; p = step(p))
            last = p;
        needSeparator = !(*last == '\\' && step(last) == last + 1);
    }
    const size_t nameLength = strlen(name);
    const size_t total = length + (needSeparator ? 1 : 0) + nameLength;
    if (total + 2 > capacity)
        return 0;
    char* out = folder + length;
    if (needSeparator)
        *out++ = '\\';
    memcpy(out, name, nameLength);
    out[nameLength] = 0;
    out[nameLength + 1] = 0;
    return 1;
}

void ConvertLineBreaks(const char* text, char* out, CharStepFn step) {
    const char* p = text;
    while (*p) {
        const char* next = step(p);
        if (next == p + 1 && *p == '\\' && p[1] == 'n') {
            *out++ = '\r';
            p += 2;
            continue;
        }
        while (p < next)
            *out++ = *p++;
    }
    *out = 0;
}

int64_t ParseDecimal64(const char* text) {
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    // Accumulated as a negative number, whose range reaches one further than the positive one.
    int64_t value = 0;
    bool saturated = false;
    for (; *p >= '0' && *p <= '9'; ++p) {
        const int digit = *p - '0';
        if (value < (INT64_MIN + digit) / 10)
            saturated = true;
        else if (!saturated)
            value = value * 10 - digit;
    }
    if (saturated)
        return negative ? INT64_MIN : INT64_MAX;
    if (negative)
        return value;
    return value == INT64_MIN ? INT64_MAX : -value;
}

int32_t ParseDecimal(const char* text) {
    const int64_t value = ParseDecimal64(text);
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return (int32_t)value;
}

int PathLeavesFolder(const char* path, CharStepFn step) {
    int depth = 0;
    const char* p = path;
    while (*p) {
        // One component: up to the next single-byte separator.
        int dots = 0, others = 0;
        while (*p) {
            const char* next = step(p);
            const bool single = next == p + 1;
            if (single && (*p == '\\' || *p == '/'))
                break;
            if (single && *p == '.')
                ++dots;
            else if (!(single && *p == ' '))
                ++others;
            p = next;
        }
        if (others == 0 && dots >= 2)
            --depth;
        else if (others > 0)
            ++depth;
        if (depth < 0)
            return 1;
        if (*p)
            ++p;
    }
    return 0;
}
