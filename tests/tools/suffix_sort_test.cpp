#include "payload/suffix_sort.h"

#include <divsufsort.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> Noise(size_t size, unsigned seed, unsigned alphabet) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(size);
    for (uint8_t& c : v)
        c = (uint8_t)(rng() % alphabet);
    return v;
}

std::vector<uint8_t> Text(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

// Shapes that drive the induced sorting through its corners: one symbol (no LMS position),
// runs that make every LMS substring equal (deep recursion), periods, the extremes of the byte
// range, and text whose reduced strings repeat at each level.
TEST(SuffixSort, SameArrayAsTheLibrary) {
    std::vector<std::pair<std::string, std::vector<uint8_t>>> inputs = {
        {"empty", {}},
        {"one byte", {7}},
        {"two equal", {9, 9}},
        {"two rising", {1, 2}},
        {"two falling", {2, 1}},
        {"banana", Text("banana")},
        {"mississippi", Text("mississippi")},
        {"zeros", std::vector<uint8_t>(5000, 0)},
        {"0xff run", std::vector<uint8_t>(4097, 0xff)},
        {"b, then a run of a", Text("b" + std::string(3000, 'a'))},
        {"binary noise", Noise(100000, 1, 2)},
        {"four letters", Noise(65536, 2, 4)},
        {"bytes", Noise(200000, 3, 256)},
    };
    std::string period;
    for (int i = 0; i < 700; ++i)
        period += "abcab"[i % 5];
    inputs.push_back({"period 5", Text(period)});
    std::string fib = "a", prev = "b";
    while (fib.size() < 50000) {
        const std::string next = fib + prev;
        prev = fib;
        fib = next;
    }
    inputs.push_back({"fibonacci word", Text(fib)});
    std::vector<uint8_t> edges = Noise(30000, 4, 3);
    for (uint8_t& c : edges)
        c = c == 0 ? 0 : c == 1 ? 0x80 : 0xff;
    inputs.push_back({"0, 0x80, 0xff", edges});
    std::vector<uint8_t> blocks;
    const std::vector<uint8_t> block = Noise(997, 5, 256);
    for (int i = 0; i < 60; ++i) {
        blocks.insert(blocks.end(), block.begin(), block.end());
        blocks[blocks.size() - 1 - (size_t)i] ^= 1; // copies that differ in one byte
    }
    inputs.push_back({"near copies", blocks});

    for (const auto& [what, text] : inputs) {
        std::vector<int32_t> ours(text.size() + 1, -7), theirs(text.size() + 1, -7);
        ASSERT_EQ(1, SortSuffixes(text.data(), ours.data(), text.size())) << what;
        if (!text.empty())
            divsufsort(text.data(), (saidx_t*)theirs.data(), (saidx_t)text.size());
        EXPECT_EQ(theirs, ours) << what; // the guard entry past the end untouched as well
    }
}

} // namespace
