#include "archive/base_cache.h"

#include <string.h>

namespace {

// Reads blocks [first, first + count) of the base into their slots; they must not wrap.
int Fill(BaseCache* c, uint64_t first, uint32_t count) {
    const uint64_t from = first * kBaseCacheBlockSize;
    const uint64_t left = c->size - from;
    const uint64_t want = (uint64_t)count * kBaseCacheBlockSize;
    const uint32_t n = (uint32_t)(left < want ? left : want);
    const uint32_t slot = (uint32_t)(first % kBaseCacheBlocks);
    for (uint32_t i = 0; i < count; ++i)
        c->held[slot + i] = 0;
    if (!c->read(c->context, from, c->blocks + (size_t)slot * kBaseCacheBlockSize, n))
        return 0;
    for (uint32_t i = 0; i < count; ++i)
        c->held[slot + i] = first + i + 1;
    c->next = first + count;
    return 1;
}

} // namespace

void BaseCacheInit(BaseCache* c, uint8_t* blocks, uint64_t size, BaseReadFn read, void* context) {
    memset(c, 0, sizeof *c);
    c->blocks = blocks;
    c->size = size;
    c->read = read;
    c->context = context;
}

int BaseCacheLoadWhole(BaseCache* c) {
    const uint32_t count = (uint32_t)((c->size + kBaseCacheBlockSize - 1) / kBaseCacheBlockSize);
    return count == 0 || Fill(c, 0, count);
}

int BaseCacheRead(BaseCache* c, uint64_t position, uint8_t* to, size_t size) {
    while (size > 0) {
        const uint64_t block = position / kBaseCacheBlockSize;
        const uint32_t slot = (uint32_t)(block % kBaseCacheBlocks);
        if (c->held[slot] != block + 1) {
            if (size >= kBaseCacheDirectRead) {
                const uint32_t n = size < (1u << 30) ? (uint32_t)size : (1u << 30);
                if (!c->read(c->context, position, to, n))
                    return 0;
                to += n;
                position += n;
                size -= n;
                c->next = position / kBaseCacheBlockSize; // what follows reads ahead
                continue;
            }
            const uint64_t blocks = (c->size + kBaseCacheBlockSize - 1) / kBaseCacheBlockSize;
            uint32_t count = 1;
            if (block == c->next) {
                const uint64_t groupEnd = (block / kBaseReadAheadBlocks + 1) * kBaseReadAheadBlocks;
                count = (uint32_t)((groupEnd < blocks ? groupEnd : blocks) - block);
            }
            if (!Fill(c, block, count))
                return 0;
        }
        const uint64_t offset = position - block * kBaseCacheBlockSize;
        const uint64_t blockEnd = (block + 1) * kBaseCacheBlockSize;
        const uint64_t inBlock = (blockEnd < c->size ? blockEnd : c->size) - position;
        const size_t n = inBlock < size ? (size_t)inBlock : size;
        memcpy(to, c->blocks + (size_t)slot * kBaseCacheBlockSize + offset, n);
        to += n;
        position += n;
        size -= n;
    }
    return 1;
}
