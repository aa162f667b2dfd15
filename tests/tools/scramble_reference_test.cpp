// The scrambler works from a repeating key pattern; this compares it with the format's plain
// definition, a key stepped word by word, over lengths that take every rotation step and
// cross the pattern's length.
#include "archive/scramble.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

void PlainScramble(uint8_t* p, uint32_t length) {
    static const uint8_t kRotations[8] = {4, 10, 6, 14, 9, 18, 21, 26};
    const unsigned step = kRotations[__builtin_popcount(length) % 8];
    const unsigned r = length % 32;
    uint32_t key = length ^ 0x6B2D93C1u;
    key = r ? (key >> r) | (key << (32 - r)) : key;
    for (uint32_t w = 0; w < length / 4; ++w, p += 4) {
        p[0] ^= (uint8_t)key;
        p[1] ^= (uint8_t)(key >> 8);
        p[2] ^= (uint8_t)(key >> 16);
        p[3] ^= (uint8_t)(key >> 24);
        key = (key << step) | (key >> (32 - step));
    }
}

TEST(Scramble, MatchesTheWordByWordKeyStream) {
    std::mt19937 rng(7);
    std::vector<uint32_t> lengths;
    for (uint32_t n = 0; n < 300; ++n)
        lengths.push_back(n);
    for (int i = 0; i < 200; ++i)
        lengths.push_back(rng() % 70000);
    lengths.push_back(0xFFFF);  // sixteen 1 bits: step 4
    lengths.push_back(0x7F7F7); // fifteen 1 bits: step 26
    for (uint32_t length : lengths) {
        std::vector<uint8_t> data(length + 1);
        for (uint8_t& c : data)
            c = (uint8_t)rng();
        std::vector<uint8_t> expected = data;
        PlainScramble(expected.data() + 1, length);
        // At an odd address, as entries in the data area may lie.
        Scramble(data.data() + 1, length);
        ASSERT_TRUE(data == expected) << "length " << length;
    }
}

} // namespace
