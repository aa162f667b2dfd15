#include "update/emptied_folders.h"

#include <string.h>

namespace {

char Folded(char c) {
    return c >= 'a' && c <= 'z' ? (char)(c - 'a' + 'A') : c;
}

// 1 when path is folder or lies below it; a drive root ("C:\") holds everything on its drive.
int IsSameOrBelow(const char* path, const char* folder, CharStepFn step) {
    if (!folder[0])
        return 0;
    const char* p = path;
    const char* f = folder;
    char last = 0;
    while (*f) {
        const char* nextF = step(f);
        const char* nextP = step(p);
        if (nextF - f != nextP - p)
            return 0;
        if (nextF - f == 1 ? Folded(*f) != Folded(*p) : memcmp(f, p, (size_t)(nextF - f)) != 0)
            return 0;
        last = nextF - f == 1 ? *f : 0;
        f = nextF;
        p = nextP;
    }
    return *p == 0 || *p == '\\' || last == '\\';
}

int IsStrictlyBelow(const char* path, const char* folder, CharStepFn step) {
    return IsSameOrBelow(path, folder, step) && !IsSameOrBelow(folder, path, step);
}

} // namespace

int MayRemoveEmptiedFolder(const char* folder, const char* install, const char* data,
                           CharStepFn step) {
    if (IsSameOrBelow(install, folder, step) || IsSameOrBelow(data, folder, step))
        return 0;
    return IsStrictlyBelow(folder, install, step);
}
