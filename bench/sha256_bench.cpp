// SHA-256 throughput on both paths, side by side in one run: a 64 MiB block (a large entry),
// the same bytes in 4 KiB pieces through the streaming calls, and the fastest of many hashes of
// a 16 KiB block in the cache. Prints one line per path.
// Usage: sha256_bench [RESULTS_FILE]   (the lines are appended to it as well). Built in the
// benchmark tree: cmake --build build/bench --target sha256_bench.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "archive/sha256.h"

namespace {

using Clock = std::chrono::steady_clock;

// The best of five runs: the least disturbed by the other work of a shared machine.
template <typename F> double BestSeconds(F f) {
    double best = 1e30;
    for (int i = 0; i < 5; ++i) {
        const auto start = Clock::now();
        f();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
    }
    return best;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<uint8_t> block(64u << 20);
    std::mt19937_64 rng(1);
    for (size_t i = 0; i < block.size(); i += 8) {
        const uint64_t v = rng();
        memcpy(&block[i], &v, 8);
    }
    std::string table;
    uint8_t first[kSha256Size] = {0};
    for (Sha256Path path : {kSha256Accelerated, kSha256Portable}) {
        const char* name = path == kSha256Accelerated ? "SHA extensions" : "portable";
        if (!Sha256UsePath(path)) {
            table += std::string("sha256 ") + name + ": not available on this processor\n";
            continue;
        }
        uint8_t digest[kSha256Size];
        const double whole = BestSeconds([&] { Sha256(block.data(), block.size(), digest); });
        if (first[0] == 0 && first[1] == 0)
            memcpy(first, digest, kSha256Size);
        else if (memcmp(first, digest, kSha256Size) != 0) {
            fprintf(stderr, "sha256_bench: the paths disagree\n");
            return 1;
        }
        const double pieces = BestSeconds([&] {
            Sha256Context c;
            Sha256Init(&c);
            for (size_t at = 0; at < block.size(); at += 4096)
                Sha256Update(&c, block.data() + at, 4096);
            Sha256Final(&c, digest);
        });
        // One 16 KiB block in the cache, the fastest of many: the hash alone, without the
        // memory's speed and with the least of what other work on the machine takes from it.
        double cached = 1e30;
        for (int i = 0; i < 4000; ++i) {
            const auto start = Clock::now();
            Sha256(block.data(), 16384, digest);
            cached = std::min(cached, std::chrono::duration<double>(Clock::now() - start).count());
        }
        char line[200];
        snprintf(line, sizeof line,
                 "sha256 %-15s %7.1f MB/s one 64 MiB block, %7.1f MB/s in 4 KiB pieces, %7.1f "
                 "MB/s 16 KiB in cache\n",
                 name, block.size() / whole / 1e6, block.size() / pieces / 1e6,
                 16384 / cached / 1e6);
        table += line;
    }
    fputs(table.c_str(), stdout);
    if (argc > 1) {
        FILE* f = fopen(argv[1], "a");
        if (!f)
            return 1;
        fputs(table.c_str(), f);
        fclose(f);
    }
    return 0;
}
