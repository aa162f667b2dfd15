#include "archive/scramble.h"

#include <string.h>

namespace {

const uint32_t kScrambleKey = 0x6B2D93C1u;
const uint8_t kRotations[8] = {4, 10, 6, 14, 9, 18, 21, 26};

// Each key is the one before rotated by the same step, so the key stream repeats after at most
// 32 words; XORing with a 128-byte pattern gives the same result as stepping the key per word,
// with wide operations instead of a chain of dependent ones.
const size_t kPatternWords = 32;
const size_t kPatternBytes = kPatternWords * 4;

inline uint32_t RotateLeft(uint32_t v, unsigned n) {
    n &= 31;
    return n ? (v << n) | (v >> (32 - n)) : v;
}

inline uint32_t RotateRight(uint32_t v, unsigned n) {
    n &= 31;
    return n ? (v >> n) | (v << (32 - n)) : v;
}

inline unsigned CountOnes(uint32_t v) {
    unsigned n = 0;
    for (; v; v &= v - 1)
        ++n;
    return n;
}

} // namespace

void Scramble(void* data, uint32_t length) {
    ScrambleRange(data, length, 0, length);
}

void ScrambleRange(void* data, uint32_t size, uint32_t offset, uint32_t length) {
    // The last length mod 4 bytes of the block stay as they are.
    const uint32_t scrambled = length / 4 * 4;
    if (offset >= scrambled)
        return;
    uint8_t* p = (uint8_t*)data;
    const size_t bytes = scrambled - offset < size ? scrambled - offset : size;
    const unsigned step = kRotations[CountOnes(length) % 8];
    uint32_t key = RotateRight(length ^ kScrambleKey, length % 32);
    // The words are little-endian whatever the host is: the pattern is laid down byte by byte.
    uint8_t pattern[kPatternBytes];
    for (size_t i = 0; i < kPatternWords; ++i, key = RotateLeft(key, step)) {
        pattern[i * 4] = (uint8_t)key;
        pattern[i * 4 + 1] = (uint8_t)(key >> 8);
        pattern[i * 4 + 2] = (uint8_t)(key >> 16);
        pattern[i * 4 + 3] = (uint8_t)(key >> 24);
    }
    // Up to the pattern's next boundary byte by byte, then whole patterns wide.
    size_t at = 0;
    const size_t phase = offset % kPatternBytes;
    if (phase) {
        for (; at < bytes && phase + at < kPatternBytes; ++at)
            p[at] ^= pattern[phase + at];
    }
    uint64_t wide[kPatternBytes / 8];
    memcpy(wide, pattern, sizeof wide);
    for (; at + kPatternBytes <= bytes; at += kPatternBytes) {
        for (size_t k = 0; k < kPatternBytes / 8; ++k) {
            uint64_t v;
            memcpy(&v, p + at + k * 8, 8);
            v ^= wide[k];
            memcpy(p + at + k * 8, &v, 8);
        }
    }
    for (size_t k = 0; at + k < bytes; ++k)
        p[at + k] ^= pattern[k];
}
