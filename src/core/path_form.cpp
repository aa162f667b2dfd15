#include "core/path_form.h"

#include <string.h>

namespace {

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? (char)(c - 32) : c;
}

bool IsLetter(char c) {
    return Upper(c) >= 'A' && Upper(c) <= 'Z';
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The names the platform reserves for devices, in every folder and with any extension.
bool IsDeviceName(const char* name, size_t length) {
    size_t base = 0;
    while (base < length && name[base] != '.')
        ++base;
    while (base > 0 && name[base - 1] == ' ')
        --base;
    char upper[8];
    if (base < 3 || base > 6)
        return false;
    for (size_t i = 0; i < base; ++i)
        upper[i] = Upper(name[i]);
    upper[base] = 0;
    static const char* const kFixed[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* fixed : kFixed) {
        if (!strcmp(upper, fixed))
            return true;
    }
    return base == 4 && (!memcmp(upper, "COM", 3) || !memcmp(upper, "LPT", 3)) && upper[3] >= '0' &&
           upper[3] <= '9';
}

// A short alias: at most eight bytes, a tilde followed by digits up to the end of the base, and
// an extension of at most three bytes. A long name of that shape is refused with it: such a
// name cannot be told from an alias without asking the file system.
bool IsShortAlias(const char* name, size_t length) {
    const char* tilde = (const char*)memchr(name, '~', length);
    if (!tilde || length > 12)
        return false;
    const char* dot = (const char*)memchr(name, '.', length);
    const size_t base = dot ? (size_t)(dot - name) : length;
    if (base > 8 || (dot && length - base - 1 > 3) || tilde > name + base - 2)
        return false;
    for (const char* p = tilde + 1; p < name + base; ++p) {
        if (!IsDigit(*p))
            return false;
    }
    return true;
}

// Checks one name of length bytes (single-byte flags for each byte were checked by the caller).
bool IsPlainName(const char* name, size_t length) {
    if (length == 0 || (length <= 2 && name[0] == '.' && name[length - 1] == '.'))
        return false;
    const char last = name[length - 1];
    return last != '.' && last != ' ' && !IsDeviceName(name, length) && !IsShortAlias(name, length);
}

} // namespace

int IsCanonicalPath(const char* path, CharStepFn step) {
    const size_t total = strlen(path);
    if (total >= kPathSize || total < 3 || !IsLetter(path[0]) || path[1] != ':' || path[2] != '\\')
        return 0;
    if (total == 3)
        return 1;
    const char* p = path + 3;
    const char* name = p;
    // A name's bytes are checked as they are walked; the name as a whole at its end.
    bool singleOnly = true; // the name has no double-byte character
    while (true) {
        const char c = *p;
        if (c == 0 || c == '\\') {
            const size_t length = (size_t)(p - name);
            if (!IsPlainName(name, length) && (singleOnly || length == 0))
                return 0;
            // A name with double-byte characters may still end in a dot or blank, or be "."
            // shaped only in its single bytes: check what the platform would trim.
            if (!singleOnly && (name[length - 1] == '.' || name[length - 1] == ' '))
                return 0;
            if (c == 0)
                return 1;
            name = p + 1;
            singleOnly = true;
            p = name;
            continue;
        }
        const char* next = step(p);
        if (next == p + 1) {
            const unsigned char u = (unsigned char)c;
            if (u < 0x20 || u == 0x7F || strchr("/:*?\"<>|", c))
                return 0;
            // A lead byte standing alone at the end: a backslash joined after it would become
            // its trail byte, and the joined path name something else.
            const char probe[3] = {c, 'A', 0};
            if (p[1] == 0 && step(probe) == probe + 2)
                return 0;
        } else {
            // A lead byte must have its trail byte before the end.
            if (next != p + 2 || p[1] == 0)
                return 0;
            singleOnly = false;
        }
        p = next;
    }
}

int IsStrictlyInside(const char* path, const char* folder) {
    const size_t length = strlen(folder);
    if (length < 3 || strncmp(path, folder, length) != 0)
        return 0;
    const bool root = length == 3 && folder[2] == '\\';
    if (root)
        return path[length] != 0 && path[length] != '\\';
    return path[length] == '\\' && path[length + 1] != 0 && path[length + 1] != '\\';
}

size_t FolderPartOf(const char* path, CharStepFn step) {
    size_t folder = 0;
    for (const char* p = path; *p;) {
        const char* next = step(p);
        if (next == p + 1 && *p == '\\')
            folder = (size_t)(next - path);
        if (next == p)
            break;
        p = next;
    }
    return folder;
}

int IsRunNameBeside(const char* name, const char* sibling, const char* extension, CharStepFn step) {
    const size_t folder = FolderPartOf(sibling, step);
    if (folder == 0 || strlen(name) != folder + kRunNameLength || strncmp(name, sibling, folder))
        return 0;
    const char* own = name + folder;
    if (memcmp(own, "~qv", 3) != 0 || strcmp(own + 11, extension) != 0 || strlen(extension) != 4)
        return 0;
    for (int i = 3; i < 11; ++i) {
        if (!IsDigit(own[i]) && !(own[i] >= 'a' && own[i] <= 'f'))
            return 0;
    }
    return 1;
}

void DropTrailingBackslash(char* folder, CharStepFn step) {
    size_t length = strlen(folder);
    while (length > 3 && FolderPartOf(folder, step) == length) {
        folder[--length] = 0;
    }
}
