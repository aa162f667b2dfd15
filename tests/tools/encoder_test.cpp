#include "payload/compress.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "archive/decompress.h"
#include "payload/bit_writer.h"
#include "support/reference_decoder.h"

namespace {

std::vector<uint8_t> Encode(const std::vector<uint8_t>& input, CompressLevel level) {
    std::vector<uint8_t> stream;
    CompressBlock(input.data(), input.size(), level, &stream);
    return stream;
}

void ExpectRoundTrip(const std::vector<uint8_t>& input, CompressLevel level,
                     const std::string& what) {
    // Decoded from a copy of exactly the stream's size, so that an overread shows under ASan.
    const std::vector<uint8_t> stream = Encode(input, level);
    std::vector<uint8_t> out(input.size());
    ASSERT_EQ(1, Decompress(out.data(), out.size(), stream.data(), stream.size()))
        << what << " at level " << level;
    EXPECT_TRUE(out == input) << what << " at level " << level;
    ReferenceResult ref = ReferenceDecode(stream.data(), stream.size(), input.size());
    EXPECT_EQ(kDecodeOk, ref.status) << what << " at level " << level;
    EXPECT_TRUE(ref.output == input) << what << " at level " << level;
}

std::vector<uint8_t> Noise(size_t size, unsigned seed, unsigned alphabet = 256) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(size);
    for (uint8_t& c : v)
        c = (uint8_t)(rng() % alphabet);
    return v;
}

// A block of noise repeated at exactly this distance.
std::vector<uint8_t> RepeatAt(size_t distance, size_t length) {
    std::vector<uint8_t> v = Noise(distance + length, (unsigned)distance);
    for (size_t i = 0; i < length; ++i)
        v[distance + i] = v[i];
    return v;
}

struct Input {
    std::string what;
    std::vector<uint8_t> bytes;
};

std::vector<Input> EdgeInputs() {
    std::vector<Input> inputs = {
        {"empty", {}},
        {"one byte", {42}},
        {"two bytes", {1, 2}},
        {"a run of 283", std::vector<uint8_t>(283, 'r')},
        {"a run of 100000", std::vector<uint8_t>(100000, 0)},
        {"noise", Noise(70000, 1)},
        {"distance 2303", RepeatAt(2303, 300)},
        {"distance 2304", RepeatAt(2304, 300)},
        {"distance 8192", RepeatAt(8192, 300)},
        {"distance 8193", RepeatAt(8193, 300)},
        {"two-letter noise over chunk ends", Noise(80000, 2, 2)},
    };
    for (size_t period = 1; period <= 9; ++period) {
        std::vector<uint8_t> v(5000);
        for (size_t i = 0; i < v.size(); ++i)
            v[i] = (uint8_t)(i % period * 37);
        inputs.push_back({"period " + std::to_string(period), v});
    }
    std::string text;
    for (int i = 0; i < 3000; ++i)
        text += "UpdateFile" + std::to_string(i % 16) + "=u,data\\file" + std::to_string(i % 7) +
                ".dat\r\n";
    inputs.push_back({"text", std::vector<uint8_t>(text.begin(), text.end())});
    return inputs;
}

TEST(Encoder, BothLevelsRoundTripEdgeInputs) {
    for (const Input& in : EdgeInputs()) {
        ExpectRoundTrip(in.bytes, kCompressFast, in.what);
        ExpectRoundTrip(in.bytes, kCompressBest, in.what);
    }
}

TEST(Encoder, BestLevelIsNeverLargerThanTheFastOne) {
    for (const Input& in : EdgeInputs())
        EXPECT_LE(Encode(in.bytes, kCompressBest).size(), Encode(in.bytes, kCompressFast).size())
            << in.what;
}

TEST(Encoder, UsesTheWholeWindowAndNoMore) {
    // 300 bytes found again exactly 8192 back cost a couple of copies; 8193 back they are out
    // of reach and cost about 9 bits a byte.
    for (CompressLevel level : {kCompressFast, kCompressBest}) {
        const size_t inReach = Encode(RepeatAt(8192, 300), level).size();
        const size_t outOfReach = Encode(RepeatAt(8193, 300), level).size();
        EXPECT_LT(inReach, (8192 * 9 + 300) / 8 + 40) << "level " << level;
        EXPECT_GT(outOfReach, inReach + 250) << "level " << level;
    }
}

// The cheapest parse in bits, by brute force over every distance and every length: what the
// best level must reach on inputs small enough for its limits not to bind.
uint64_t CheapestBits(const std::vector<uint8_t>& v) {
    const size_t n = v.size();
    std::vector<uint64_t> cost(n + 1, UINT64_MAX);
    cost[0] = 0;
    for (size_t i = 0; i < n; ++i) {
        cost[i + 1] = std::min(cost[i + 1], cost[i] + LiteralBits());
        for (size_t d = 1; d <= i && d <= kWindowSize; ++d) {
            size_t len = 0;
            while (i + len < n && len < kMaxCopy && v[i + len] == v[i + len - d])
                ++len;
            for (size_t l = 2; l <= len; ++l) {
                if (l == 2 && d > kMaxShortDistance)
                    continue;
                cost[i + l] = std::min(cost[i + l], cost[i] + CopyBits(d, l));
            }
        }
    }
    return cost[n];
}

TEST(Encoder, BestLevelFindsTheCheapestParse) {
    for (unsigned seed = 0; seed < 12; ++seed) {
        // Few letters make many overlapping copies to choose from.
        std::vector<uint8_t> v = Noise(600 + 150 * seed, seed, 3 + seed % 4);
        const uint64_t bits = CheapestBits(v) + 14; // the end marker
        // The stream holds those bits; only the last flag word's unused bits come on top.
        const size_t low = (size_t)((bits + 7) / 8);
        const size_t best = Encode(v, kCompressBest).size();
        EXPECT_GE(best, low) << "seed " << seed;
        EXPECT_LE(best, low + 4) << "seed " << seed;
        EXPECT_GT(Encode(v, kCompressFast).size(), low + 4)
            << "greedy is no optimum, seed " << seed;
    }
}

} // namespace
