#include "core/path_walk.h"

#include <string.h>

#include "core/path_form.h"

namespace {

char Fold(char c) {
    return c >= 'a' && c <= 'z' ? (char)(c - 32) : c;
}

// Compares length bytes of a and b character by character; single-byte letters without case.
int SameBytes(const char* a, const char* b, size_t length, CharStepFn step) {
    size_t at = 0;
    while (at < length) {
        const size_t width = (size_t)(step(a + at) - (a + at));
        if (width == 0 || at + width > length)
            return 0;
        if (width == 1 ? Fold(a[at]) != Fold(b[at]) : memcmp(a + at, b + at, width) != 0)
            return 0;
        // The other side must step the same way, or a lead byte was compared with a letter.
        if ((size_t)(step(b + at) - (b + at)) != width)
            return 0;
        at += width;
    }
    return 1;
}

} // namespace

int IsDriveRoot(const char* folder) {
    return strlen(folder) == 3 && folder[1] == ':' && folder[2] == '\\';
}

int IsWalkableName(const char* name, size_t length, CharStepFn step) {
    // Judged as the one name of a path at a drive root, which the exact form checks whole.
    char probe[kPathSize];
    if (length == 0 || length + 3 >= kPathSize || memchr(name, 0, length))
        return 0;
    memcpy(probe, "A:\\", 3);
    memcpy(probe + 3, name, length);
    probe[3 + length] = 0;
    for (const char* p = probe + 3; *p; p = step(p)) {
        if (*p == '\\' && step(p) == p + 1)
            return 0;
    }
    return IsCanonicalPath(probe, step);
}

int SplitBelow(const char* path, const char* folder, WalkNames* out, CharStepFn step) {
    const size_t base = strlen(folder);
    const size_t total = strlen(path);
    out->count = 0;
    if (base == 0 || total >= kPathSize || strncmp(path, folder, base) != 0)
        return 0;
    // The folder must end on a character of the path: a lead byte at its end would make the
    // byte after it a trail byte, not a separator.
    const char* boundary = path;
    while (boundary < path + base && *boundary)
        boundary = step(boundary);
    if (boundary != path + base)
        return 0;
    size_t at = base;
    if (!IsDriveRoot(folder)) {
        if (path[at] != '\\' || step(path + at) != path + at + 1)
            return 0;
        ++at;
    }
    if (at >= total)
        return 0;
    size_t name = at;
    const char* p = path + at;
    for (;;) {
        const char* next = step(p);
        const bool separator = *p == '\\' && next == p + 1;
        if (*p == 0 || separator) {
            const size_t end = (size_t)(p - path);
            if (out->count == kMaxWalkNames || !IsWalkableName(path + name, end - name, step))
                return 0;
            out->start[out->count] = (uint16_t)name;
            out->length[out->count] = (uint16_t)(end - name);
            ++out->count;
            if (*p == 0)
                return 1;
            name = end + 1;
        }
        if (next == p)
            return 0;
        p = next;
    }
}

int IsSamePlace(const char* a, const char* b, CharStepFn step) {
    const size_t length = strlen(a);
    return length > 0 && length == strlen(b) && SameBytes(a, b, length, step);
}

int IsSameOrBelow(const char* path, const char* folder, CharStepFn step) {
    const size_t length = strlen(folder);
    if (length == 0 || strlen(path) < length || !SameBytes(path, folder, length, step))
        return 0;
    return path[length] == 0 || path[length] == '\\' || IsDriveRoot(folder);
}
