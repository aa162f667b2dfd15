// A file's sampled identity: the SHA-256 of its size and of a few blocks spread over it, from
// its first byte to its last. Reading it costs about a megabyte however large the file, so an
// updater can tell which of its recorded bases an installed file is, and refuse one that is
// none of them, before it writes anything, without reading the whole file a second time; the
// exact proof is the digest of the result, computed as the result is written.
//
// Up to kSampleWholeSize bytes the whole file is the sample. Past it, kSampleBlocks blocks of
// kSampleBlockSize bytes: block i starts at i * (size - kSampleBlockSize) / (kSampleBlocks - 1),
// so the blocks rise, never overlap, and the first and the last byte are in one. The digest is
// taken over the size (8 bytes, little-endian) followed by the blocks in order.
#pragma once

#include <stdint.h>

#include "archive/sha256.h"

const uint32_t kSampleBlocks = 64;
const uint32_t kSampleBlockSize = 16u << 10;
const uint64_t kSampleWholeSize = (uint64_t)kSampleBlocks * kSampleBlockSize;

// How many spans the sample of a file of size bytes reads (0 for an empty file).
uint32_t SampleSpanCount(uint64_t size);
// Span i of that sample: where it starts and how many bytes it holds.
void SampleSpan(uint64_t size, uint32_t i, uint64_t* offset, uint32_t* length);

// The digest begun for a file of size bytes; the spans' bytes follow, in order, through
// Sha256Update, and Sha256Final gives the sampled identity.
void SampleBegin(Sha256Context* c, uint64_t size);

// The sampled identity of bytes in memory.
void SampleOfMemory(const uint8_t* data, uint64_t size, uint8_t out[kSha256Size]);

// The sampled identity of a file whose bytes pass by in order, in parts of any sizes, as they
// are read or rebuilt for another reason.
struct SampleStream {
    Sha256Context c;
    uint64_t size;
    uint64_t at;   // where the next part begins
    uint32_t span; // the first span not yet complete
};
void SampleStreamBegin(SampleStream* s, uint64_t size);
void SampleStreamFeed(SampleStream* s, const uint8_t* data, size_t n);
void SampleStreamEnd(SampleStream* s, uint8_t out[kSha256Size]);
