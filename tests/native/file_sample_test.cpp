#include "archive/file_sample.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

typedef std::vector<uint8_t> Bytes;

// Over sizes around the sampling's edges: the spans rise without overlapping and reach both
// ends; a file fed in parts of any size gives the sample of the whole; a changed byte in a span
// changes the sample, and so does a change of size alone.
TEST(FileSample, SpansStreamingAndChanges) {
    std::mt19937 rng(5);
    const uint64_t sizes[] = {0,
                              1,
                              kSampleWholeSize - 1,
                              kSampleWholeSize,
                              kSampleWholeSize + 1,
                              kSampleWholeSize + kSampleBlockSize * 63 + 5,
                              9 * kSampleWholeSize + 12345};
    for (const uint64_t size : sizes) {
        Bytes data(size);
        for (uint8_t& b : data)
            b = (uint8_t)rng();
        uint64_t end = 0;
        for (uint32_t i = 0; i < SampleSpanCount(size); ++i) {
            uint64_t offset;
            uint32_t length;
            SampleSpan(size, i, &offset, &length);
            EXPECT_TRUE(i == 0 ? offset == 0 : offset >= end) << size << " span " << i;
            end = offset + length;
        }
        EXPECT_EQ(size, end) << "the last span ends the file";

        uint8_t whole[kSha256Size];
        SampleOfMemory(data.data(), size, whole);
        for (const size_t part : {(size_t)1 << 12, (size_t)kSampleBlockSize + 7, (size_t)1 << 20}) {
            SampleStream s;
            SampleStreamBegin(&s, size);
            for (uint64_t at = 0; at < size; at += part)
                SampleStreamFeed(&s, data.data() + at, (size_t)std::min<uint64_t>(part, size - at));
            uint8_t streamed[kSha256Size];
            SampleStreamEnd(&s, streamed);
            EXPECT_EQ(0, memcmp(whole, streamed, kSha256Size)) << size << " in parts of " << part;
        }
        if (size == 0)
            continue;
        uint8_t changed[kSha256Size];
        data[size - 1] ^= 1;
        SampleOfMemory(data.data(), size, changed);
        EXPECT_NE(0, memcmp(whole, changed, kSha256Size)) << size << ": the last byte is sampled";
        data[size - 1] ^= 1;
        SampleOfMemory(data.data(), size - 1, changed);
        EXPECT_NE(0, memcmp(whole, changed, kSha256Size)) << size << ": one byte shorter";
    }
}

} // namespace
