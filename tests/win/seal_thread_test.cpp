#include <gtest/gtest.h>

#include <string.h>

#include <vector>

#include "archive/sha256.h"
#include "update/seal_thread.h"
#include "win/win_test_support.h"

// A file's bytes given in parts of any sizes, hashed beside the caller or, without a second
// thread, on the caller's own: the digest and the delta check are the file's either way, and the
// caller's buffer, refilled after each wait, never reaches them late.
TEST(SealThread, HashesEachPartBeforeTheCallerReusesIt) {
    SavedOps saved;
    const std::vector<size_t> parts = {0, 1, 63, 64, 65, 4096, (4u << 20) + 3, 7, 1u << 20};
    for (bool refused : {false, true}) {
        ThreadsAsked = 0;
        RefuseThreads = refused;
        DirectOps.CreateThread = CountedCreateThread;
        std::vector<uint8_t> whole, buffer;
        Sha256Context sealed;
        Sha256Init(&sealed);
        size_t total = 0;
        for (size_t n : parts)
            total += n;
        // A delta's own check of its result goes along.
        DeltaCheckState check;
        DeltaCheckBegin(&check, total);
        for (size_t i = 0; i < parts.size(); ++i) {
            buffer.assign(parts[i], 0);
            for (size_t j = 0; j < buffer.size(); ++j)
                buffer[j] = (uint8_t)(j * 31 + i);
            whole.insert(whole.end(), buffer.begin(), buffer.end());
            SealHashBegin(&sealed, &check, buffer.data(), buffer.size());
            SealHashWait();
            memset(buffer.data(), 0xEE, buffer.size());
        }
        EXPECT_EQ(DeltaCheck(whole.data(), whole.size()), DeltaCheckEnd(&check));
        uint8_t got[kSha256Size], expected[kSha256Size];
        Sha256Final(&sealed, got);
        Sha256(whole.data(), whole.size(), expected);
        EXPECT_EQ(0, memcmp(got, expected, kSha256Size))
            << (refused ? "on the caller's thread" : "beside it");
        // One thread for the run, and a refused one is not asked for again for each part.
        EXPECT_EQ(1, ThreadsAsked);
        StopSealThread();
        DirectOps = saved.direct;
    }
}
