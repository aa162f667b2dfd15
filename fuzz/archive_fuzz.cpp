// Must not crash: open an arbitrary image, look every entry up by its own name and decode it.
#include <stdlib.h>
#include <strings.h>

#include <vector>

#include "archive/archive_index.h"

static void* Alloc(size_t size) {
    return malloc(size ? size : 1);
}
static void Free(void* p) {
    free(p);
}
static int SameName(const char* a, const char* b) {
    return strcasecmp(a, b);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > UINT32_MAX)
        return 0;
    std::vector<uint8_t> image(data, data + size);
    uint8_t* index = OpenArchiveImage(image.data(), (uint32_t)image.size(), Alloc, Free);
    if (!index)
        return 0;
    const uint32_t count = IndexEntryCount(index);
    for (uint32_t i = 0; i < count && i < 64; ++i) {
        const uint8_t* rec = IndexRecords(index) + (size_t)i * kArchiveEntrySize;
        uint32_t offset = 0;
        const uint8_t* found = LookupEntry(index, EntryName(rec), SameName, &offset);
        if (!found || found > rec)
            abort();
        const uint8_t* bytes;
        uint8_t* block;
        if (DecodeEntry(found, image.data() + offset, Alloc, Free, &bytes, &block) ==
            kEntryDecoded) {
            volatile uint8_t sink = 0;
            for (uint32_t j = 0; j < EntryDecodedSize(found); ++j)
                sink = sink ^ bytes[j];
            free(block);
        }
    }
    free(index);
    return 0;
}
