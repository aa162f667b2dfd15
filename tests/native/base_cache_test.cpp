#include "archive/base_cache.h"

#include <gtest/gtest.h>
#include <string.h>

#include <random>
#include <vector>

namespace {

struct File {
    std::vector<uint8_t> bytes;
    uint64_t read = 0;
    int failAt = 0, calls = 0;
};

int ReadFile(void* context, uint64_t position, uint8_t* to, uint32_t size) {
    File* f = (File*)context;
    if (++f->calls == f->failAt || position + size > f->bytes.size())
        return 0;
    memcpy(to, f->bytes.data() + position, size);
    f->read += size;
    return 1;
}

// Each pattern of reads gives the base's bytes, costs at most the bytes the pattern names
// (beside the base's own size, for one read in order), and a failed read of the file fails the
// read, every time it happens.
TEST(BaseCache, ReadsGiveTheBaseAtTheCostOfWhatTheyTouch) {
    std::mt19937 rng(11);
    const uint64_t size = 9 * kBaseCacheBytes + 12345;
    File file;
    file.bytes.resize(size);
    for (uint8_t& b : file.bytes)
        b = (uint8_t)rng();
    struct Read {
        uint64_t at;
        size_t size;
    };
    std::vector<Read> inOrder, scattered, returning, longOnes;
    for (uint64_t at = 0; at < size; at += 3000)
        inOrder.push_back({at, (size_t)std::min<uint64_t>(3000, size - at)});
    for (int i = 0; i < 500; ++i)
        scattered.push_back({rng() % (size - 100), 100});
    for (int i = 0; i < 500; ++i) // back and forth inside a few blocks
        returning.push_back(
            {kBaseCacheBytes + (rng() % 5) * kBaseCacheBlockSize + rng() % 1000, 50});
    for (uint64_t at = 7; at + kBaseCacheDirectRead * 3 < size; at += kBaseCacheDirectRead * 3)
        longOnes.push_back({at, kBaseCacheDirectRead * 2});
    struct Pattern {
        const char* what;
        const std::vector<Read>* reads;
        uint64_t most; // bytes of the file read at most
    } patterns[] = {
        {"in order", &inOrder, size},
        {"scattered", &scattered, 500ull * 2 * kBaseCacheBlockSize},
        {"returning", &returning, 5ull * kBaseCacheBlockSize},
        {"long", &longOnes,
         longOnes.size() * (kBaseCacheDirectRead * 2 + kBaseCacheBlockSize * 16)},
    };
    std::vector<uint8_t> blocks(kBaseCacheBytes), out;
    for (const Pattern& p : patterns) {
        BaseCache cache;
        file.read = 0;
        file.calls = 0;
        file.failAt = 0;
        BaseCacheInit(&cache, blocks.data(), size, ReadFile, &file);
        for (const Read& r : *p.reads) {
            out.assign(r.size, 0);
            ASSERT_EQ(1, BaseCacheRead(&cache, r.at, out.data(), r.size)) << p.what;
            ASSERT_EQ(0, memcmp(out.data(), file.bytes.data() + r.at, r.size))
                << p.what << " at " << r.at;
        }
        EXPECT_LE(file.read, p.most) << p.what;
        const int calls = file.calls;
        for (int k = 1; k <= calls; ++k) {
            file.calls = 0;
            file.failAt = k;
            BaseCacheInit(&cache, blocks.data(), size, ReadFile, &file);
            bool failed = false;
            for (const Read& r : *p.reads) {
                out.assign(r.size, 0);
                if (!BaseCacheRead(&cache, r.at, out.data(), r.size)) {
                    failed = true;
                    break;
                }
                ASSERT_EQ(0, memcmp(out.data(), file.bytes.data() + r.at, r.size))
                    << p.what << " failing " << k;
            }
            EXPECT_TRUE(failed) << p.what << ": read " << k << " failed unseen";
        }
    }

    // A base that fits is read whole once, and then served from memory.
    File small;
    small.bytes.assign(file.bytes.begin(), file.bytes.begin() + kBaseCacheBytes - 5);
    BaseCache cache;
    BaseCacheInit(&cache, blocks.data(), small.bytes.size(), ReadFile, &small);
    ASSERT_EQ(1, BaseCacheLoadWhole(&cache));
    EXPECT_EQ(0, memcmp(blocks.data(), small.bytes.data(), small.bytes.size()));
    for (const Read& r : scattered) {
        const uint64_t at = r.at % (small.bytes.size() - r.size);
        out.assign(r.size, 0);
        ASSERT_EQ(1, BaseCacheRead(&cache, at, out.data(), r.size));
        ASSERT_EQ(0, memcmp(out.data(), small.bytes.data() + at, r.size));
    }
    EXPECT_EQ(small.bytes.size(), small.read);
}

} // namespace
