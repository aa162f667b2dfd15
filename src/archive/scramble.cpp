#include "archive/scramble.h"

#include <string.h>

namespace {

const uint32_t kScrambleKey = 0x6B2D93C1u;
const uint8_t kRotations[8] = {4, 10, 6, 14, 9, 18, 21, 26};

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
    uint8_t* p = (uint8_t*)data;
    uint32_t words = length / 4;
    const unsigned step = kRotations[CountOnes(length) % 8];
    uint32_t key = RotateRight(length ^ kScrambleKey, length % 32);
    // The word is loaded and stored byte-order-explicitly through memcpy: blocks need not be
    // aligned, and the format is little-endian whatever the host is.
    for (; words; --words, p += 4) {
        uint32_t w;
        memcpy(&w, p, 4);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        w = __builtin_bswap32(w) ^ key;
        w = __builtin_bswap32(w);
#else
        w ^= key;
#endif
        memcpy(p, &w, 4);
        key = RotateLeft(key, step);
    }
}
