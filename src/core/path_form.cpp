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
// name cannot be told from an alias without asking the file system. The tilde must be a
// character of its own, not the trail byte of a double-byte one (0x7E is one).
bool IsShortAlias(const char* name, size_t length, CharStepFn step) {
    if (length > 12)
        return false;
    const char* dot = (const char*)memchr(name, '.', length); // 0x2E is never a trail byte
    const size_t base = dot ? (size_t)(dot - name) : length;
    if (base > 8 || (dot && length - base - 1 > 3))
        return false;
    const char* tilde = nullptr;
    for (const char* p = name; p < name + base;) {
        const char* next = step(p);
        if (next == p + 1 && *p == '~')
            tilde = p;
        p = next > p ? next : p + 1;
    }
    if (!tilde || tilde > name + base - 2)
        return false;
    for (const char* p = tilde + 1; p < name + base; ++p) {
        if (!IsDigit(*p))
            return false;
    }
    return true;
}

} // namespace

NameForm CheckNameForm(const char* name, size_t length, CharStepFn step) {
    if (length == 0)
        return kNameEmpty;
    const char* end = name + length;
    for (const char* p = name; p < end;) {
        const char* next = step(p);
        if (next == p + 1) {
            const char c = *p;
            const unsigned char u = (unsigned char)c;
            if (u < 0x20 || u == 0x7F)
                return kNameControlByte;
            if (strchr("/\\:*?\"<>|", c))
                return kNameForbiddenByte;
            // A lead byte standing alone at the end: a backslash joined after it would become
            // its trail byte, and the joined path name something else.
            const char probe[3] = {c, 'A', 0};
            if (next == end && step(probe) == probe + 2)
                return kNameBrokenChar;
        } else if (next != p + 2 || next > end) {
            return kNameBrokenChar;
        }
        p = next;
    }
    // Neither a dot nor a blank is ever a trail byte: the last byte tells, and so does the
    // first dot, whatever characters the name holds.
    if (name[length - 1] == '.' || name[length - 1] == ' ')
        return kNameTrailingDot;
    if (IsDeviceName(name, length))
        return kNameDevice;
    if (IsShortAlias(name, length, step))
        return kNameShortAlias;
    return kNameExact;
}

int IsCanonicalPath(const char* path, CharStepFn step) {
    const size_t total = strlen(path);
    if (total >= kPathSize || total < 3 || !IsLetter(path[0]) || path[1] != ':' || path[2] != '\\')
        return 0;
    if (total == 3)
        return 1;
    // Names end at a backslash that is a character of its own; each is judged whole.
    const char* name = path + 3;
    for (const char* p = name;;) {
        const char* next = *p ? step(p) : p;
        if (*p == 0 || (next == p + 1 && *p == '\\')) {
            if (CheckNameForm(name, (size_t)(p - name), step) != kNameExact)
                return 0;
            if (*p == 0)
                return 1;
            name = p + 1;
            p = name;
            continue;
        }
        // A lead byte whose trail byte would be the end of the path.
        if (next != p + 1 && (next != p + 2 || p[1] == 0))
            return 0;
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
