#include "archive/scramble.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

uint32_t WordAt(const std::vector<uint8_t>& b, size_t i) {
    return (uint32_t)b[4 * i] | (uint32_t)b[4 * i + 1] << 8 | (uint32_t)b[4 * i + 2] << 16 |
           (uint32_t)b[4 * i + 3] << 24;
}

TEST(Scramble, BlocksShorterThanAWordStayAsTheyAre) {
    for (uint32_t len = 0; len < 4; ++len) {
        std::vector<uint8_t> block = {1, 2, 3};
        Scramble(block.data(), len);
        EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), block) << "length " << len;
    }
}

TEST(Scramble, KeyStreamOfKnownLengths) {
    // Scrambling zeros exposes the key stream. Expected words were worked out by hand from the
    // key constant, the rotation table and the length.
    struct Case {
        uint32_t length;
        std::vector<uint32_t> words;
    };
    const Case cases[] = {
        {5, {0x23596c9e}},                           // 2 one bits: step 6; rotated right by 5
        {8, {0xc96b2d93, 0xacb64f25}},               // 1 one bit: step 10
        {255, {0xd65b267c, 0x65b267cd, 0x5b267cd6}}, // 8 one bits: first table element, 4
        {7, {0x8cd65b27}},                           // 3 one bits: fourth table element, 14
        {64, {0x6b2d9381, 0xb64e05ac, 0x3816b2d9}},  // multiple of 32: no initial rotation
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> block(c.length, 0);
        Scramble(block.data(), c.length);
        for (size_t i = 0; i < c.words.size(); ++i)
            EXPECT_EQ(c.words[i], WordAt(block, i)) << "length " << c.length << " word " << i;
        for (uint32_t i = c.length / 4 * 4; i < c.length; ++i)
            EXPECT_EQ(0, block[i]) << "length " << c.length << " tail byte " << i;
    }
}

TEST(Scramble, TwiceGivesBackTheBlockAtAnyAlignment) {
    std::mt19937 rng(99);
    std::vector<uint8_t> storage(5000 + 3);
    for (uint32_t len : {4u, 5u, 17u, 280u, 4095u, 5000u}) {
        for (size_t align = 0; align < 4; ++align) {
            for (uint8_t& c : storage)
                c = (uint8_t)rng();
            std::vector<uint8_t> original(storage);
            Scramble(storage.data() + align, len);
            EXPECT_NE(original, storage) << "length " << len;
            Scramble(storage.data() + align, len);
            EXPECT_EQ(original, storage) << "length " << len << " align " << align;
        }
    }
}

// A block unscrambled part by part, in parts of every phase against the key pattern, is the
// block unscrambled at once.
TEST(Scramble, InPartsAsAtOnce) {
    std::mt19937 rng(7);
    for (uint32_t len : {3u, 130u, 1001u, 5000u}) {
        std::vector<uint8_t> whole(len);
        for (uint8_t& c : whole)
            c = (uint8_t)rng();
        std::vector<uint8_t> parts(whole);
        Scramble(whole.data(), len);
        for (uint32_t at = 0; at < len;) {
            const uint32_t n = std::min<uint32_t>(len - at, 1 + rng() % 300);
            ScrambleRange(parts.data() + at, n, at, len);
            at += n;
        }
        EXPECT_EQ(whole, parts) << "length " << len;
    }
}

} // namespace
