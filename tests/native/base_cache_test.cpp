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

struct Read {
    uint64_t at;
    size_t size;
};

// Runs the reads over a fresh cache, the whole base loaded first when asked; 0 at the first
// read that fails, after checking the bytes of every read before it.
int RunReads(File* file, const std::vector<Read>& reads, bool loadWhole,
             std::vector<uint8_t>* blocks) {
    BaseCache cache;
    BaseCacheInit(&cache, blocks->data(), file->bytes.size(), ReadFile, file);
    if (loadWhole && !BaseCacheLoadWhole(&cache))
        return 0;
    std::vector<uint8_t> out;
    for (const Read& r : reads) {
        out.assign(r.size, 0);
        if (!BaseCacheRead(&cache, r.at, out.data(), r.size))
            return 0;
        EXPECT_EQ(0, memcmp(out.data(), file->bytes.data() + r.at, r.size)) << "at " << r.at;
    }
    return 1;
}

// Each pattern of reads gives the base's bytes and costs at most the bytes the pattern names
// (the base's own size for one read in order, or one whole load); a failed read of the file
// fails the read, at every call.
TEST(BaseCache, ReadsGiveTheBaseAtTheCostOfWhatTheyTouch) {
    std::mt19937 rng(11);
    const uint64_t size = 9 * kBaseCacheBytes + 12345, small = kBaseCacheBytes - 5;
    std::vector<Read> inOrder, scattered, returning, longOnes, inSmall;
    for (uint64_t at = 0; at < size; at += 3000)
        inOrder.push_back({at, (size_t)std::min<uint64_t>(3000, size - at)});
    for (int i = 0; i < 500; ++i)
        scattered.push_back({rng() % (size - 100), 100});
    for (int i = 0; i < 500; ++i) // back and forth inside a few blocks
        returning.push_back(
            {kBaseCacheBytes + (rng() % 5) * kBaseCacheBlockSize + rng() % 1000, 50});
    for (int i = 0; i < 500; ++i)
        inSmall.push_back({rng() % (small - 100), 100});
    for (uint64_t at = 7; at + kBaseCacheDirectRead * 3 < size; at += kBaseCacheDirectRead * 3)
        longOnes.push_back({at, kBaseCacheDirectRead * 2});
    struct Pattern {
        const char* what;
        const std::vector<Read>* reads;
        uint64_t size;
        bool loadWhole;
        uint64_t most; // bytes of the file read at most
    } patterns[] = {
        {"in order", &inOrder, size, false, size},
        {"scattered", &scattered, size, false, 500ull * 2 * kBaseCacheBlockSize},
        // Its five blocks lie in one group: read ahead at most once, and never again.
        {"returning", &returning, size, false,
         (uint64_t)kBaseReadAheadBlocks * kBaseCacheBlockSize},
        {"long", &longOnes, size, false,
         longOnes.size() * (kBaseCacheDirectRead * 2 + kBaseCacheBlockSize * 16)},
        {"a base that fits, loaded whole", &inSmall, small, true, small},
    };
    File file;
    file.bytes.resize(size);
    for (uint8_t& b : file.bytes)
        b = (uint8_t)rng();
    std::vector<uint8_t> blocks(kBaseCacheBytes);
    for (const Pattern& p : patterns) {
        File f;
        f.bytes.assign(file.bytes.begin(), file.bytes.begin() + (long)p.size);
        ASSERT_EQ(1, RunReads(&f, *p.reads, p.loadWhole, &blocks)) << p.what;
        EXPECT_LE(f.read, p.most) << p.what;
        const int calls = f.calls;
        for (int k = 1; k <= calls; ++k) {
            f.calls = 0;
            f.failAt = k;
            EXPECT_EQ(0, RunReads(&f, *p.reads, p.loadWhole, &blocks)) << p.what << ": read " << k;
        }
    }
}

} // namespace
