// How mkupdate lends memory and name comparison to the archive reader (archive/archive_index.h),
// which the updater feeds with its own fixed-memory calls.
#pragma once

#include <stdlib.h>

#include "mkupdate/pack.h"

// Never a null block for a size of 0, which the reader would take for a lack of memory.
inline void* AllocBlock(size_t size) {
    return malloc(size ? size : 1);
}

inline void FreeBlock(void* block) {
    free(block);
}

// Names compared as the updater compares them: ASCII letters without case.
inline int SameName(const char* a, const char* b) {
    return FoldName(a) == FoldName(b) ? 0 : 1;
}
