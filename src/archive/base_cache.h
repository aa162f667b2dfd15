// Reads of a delta's base by position, served from blocks kept in memory. A delta's copies are
// mostly short, and lead both onward and back to places read a moment ago: each block of the
// base read is kept in the slot of its index modulo kBaseCacheBlocks, so a copy that returns
// finds it there. A miss right after the last block read reads ahead to the end of its group of
// kBaseReadAheadBlocks, so that a base taken in order is read in large parts; any other miss
// reads its one block. A long read goes straight to the file. Free of the platform: the file is
// read through a callback.
#pragma once

#include <stddef.h>
#include <stdint.h>

const uint32_t kBaseCacheBlockSize = 64u << 10;
const uint32_t kBaseCacheBlocks = 64;
const uint32_t kBaseReadAheadBlocks = 16;
const uint32_t kBaseCacheBytes = kBaseCacheBlocks * kBaseCacheBlockSize;
// A read of at least this many bytes that the cache does not hold goes straight to the file.
const uint32_t kBaseCacheDirectRead = 256u << 10;

static_assert(kBaseCacheBlocks % kBaseReadAheadBlocks == 0, "a group never wraps the slots");

// size bytes of the base from position into to; 1 when all were read.
typedef int (*BaseReadFn)(void* context, uint64_t position, uint8_t* to, uint32_t size);

struct BaseCache {
    uint8_t* blocks;                 // kBaseCacheBytes bytes, the caller's
    uint64_t held[kBaseCacheBlocks]; // the block index each slot holds, plus 1; 0 for none
    uint64_t size;                   // the base's
    uint64_t next;                   // the block after the last one read
    BaseReadFn read;
    void* context;
};

void BaseCacheInit(BaseCache* c, uint8_t* blocks, uint64_t size, BaseReadFn read, void* context);

// Reads the whole base into the cache at once (size must be at most kBaseCacheBytes), so that
// every later read is served from memory; the bytes are at c->blocks. 1 when read.
int BaseCacheLoadWhole(BaseCache* c);

// size bytes from position (inside the base) into to; 1 when all were read.
int BaseCacheRead(BaseCache* c, uint64_t position, uint8_t* to, size_t size);
