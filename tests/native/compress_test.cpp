#include "payload/compress.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "archive/decompress.h"
#include "support/reference_decoder.h"

namespace {

void ExpectRoundTrip(const std::vector<uint8_t>& input, const std::string& what) {
    std::vector<uint8_t> stream;
    CompressGreedy(input.data(), input.size(), &stream);
    std::vector<uint8_t> out(input.size());
    ASSERT_EQ(1, Decompress(out.data(), out.size(), stream.data(), stream.size())) << what;
    EXPECT_TRUE(out == input) << what;
    // The plain decoder must read the same stream the same way.
    ReferenceResult ref = ReferenceDecode(stream.data(), stream.size(), input.size());
    EXPECT_EQ(kDecodeOk, ref.status) << what;
    EXPECT_TRUE(ref.output == input) << what;
}

TEST(CompressGreedy, RoundTripsEdgeInputs) {
    std::mt19937 rng(3);
    ExpectRoundTrip({}, "empty");
    ExpectRoundTrip({42}, "one byte");
    ExpectRoundTrip({1, 2}, "two bytes");
    ExpectRoundTrip(std::vector<uint8_t>(283, 'r'), "a run of 283");
    ExpectRoundTrip(std::vector<uint8_t>(100000, 0), "a long run");
    for (size_t period = 1; period <= 9; ++period) {
        std::vector<uint8_t> v(5000);
        for (size_t i = 0; i < v.size(); ++i)
            v[i] = (uint8_t)(i % period * 37);
        ExpectRoundTrip(v, "period " + std::to_string(period));
    }
    std::vector<uint8_t> noise(70000);
    for (uint8_t& c : noise)
        c = (uint8_t)rng();
    ExpectRoundTrip(noise, "noise");
    for (size_t dist : {2303u, 2304u, 8192u, 8193u}) {
        // A block repeated at exactly this distance, with noise in between.
        std::vector<uint8_t> v(dist + 300);
        for (uint8_t& c : v)
            c = (uint8_t)rng();
        for (size_t i = 0; i < 300; ++i)
            v[dist + i] = v[i];
        ExpectRoundTrip(v, "distance " + std::to_string(dist));
    }
}

TEST(CompressGreedy, CompressesRepetitiveText) {
    std::string text;
    for (int i = 0; i < 2000; ++i)
        text += "UpdateFile" + std::to_string(i % 16) + "=u,data\\file" + std::to_string(i % 7) +
                ".dat\r\n";
    std::vector<uint8_t> input(text.begin(), text.end());
    std::vector<uint8_t> stream;
    CompressGreedy(input.data(), input.size(), &stream);
    EXPECT_LT(stream.size() * 5, input.size());
    ExpectRoundTrip(input, "text");
}

} // namespace
