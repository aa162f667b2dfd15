// The delta codec on files, for the delta benchmark (bench/delta-bench.sh), which runs each step
// as a process of its own so that its time and peak memory are measured alone.
//   delta_tool encode BASE NEW DELTA [LIMIT] prints: encode seconds; LIMIT: the largest base
//                                          searched whole (bytes; default the encoder's)
//   delta_tool apply BASE DELTA OUT [RUNS] prints: apply MB/s of output (best of RUNS)
//   delta_tool whole NEW                   prints: size of NEW as one best-level payload entry
//   delta_tool stream BASE DELTA           applies as the updater does: the base read by position
//                                          through its cache, the result hashed and let go;
//                                          prints: seconds, base reads and bytes read
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "archive/base_cache.h"
#include "archive/delta_apply.h"
#include "archive/sha256.h"
#include "payload/compress.h"
#include "payload/delta_encode.h"
#include "payload/mapped_file.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<uint8_t> ReadFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fprintf(stderr, "delta_tool: cannot read %s\n", path);
        exit(2);
    }
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
}

void WriteFile(const char* path, const uint8_t* data, size_t size) {
    FILE* f = fopen(path, "wb");
    if (!f || fwrite(data, 1, size, f) != size || fclose(f) != 0) {
        fprintf(stderr, "delta_tool: cannot write %s\n", path);
        exit(2);
    }
}

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// The updater's side of a delta, with the platform's file reads in place of its own.
struct StreamRun {
    int base;
    BaseCache cache;
    const std::vector<uint8_t>* delta;
    size_t deltaUsed;
    Sha256Context seal;
    uint64_t reads, bytesRead;
};

int PreadBase(void* context, uint64_t position, uint8_t* to, uint32_t size) {
    StreamRun* r = (StreamRun*)context;
    ++r->reads;
    r->bytesRead += size;
    return pread(r->base, to, size, (off_t)position) == (ssize_t)size;
}

int CachedBase(void* context, uint64_t position, uint8_t* to, size_t size) {
    return BaseCacheRead(&((StreamRun*)context)->cache, position, to, size);
}

ptrdiff_t NextDelta(void* context, uint8_t* to, size_t size) {
    StreamRun* r = (StreamRun*)context;
    const size_t n = std::min(size, r->delta->size() - r->deltaUsed);
    memcpy(to, r->delta->data() + r->deltaUsed, n);
    r->deltaUsed += n;
    return (ptrdiff_t)n;
}

int SealResult(void* context, const uint8_t* data, size_t size) {
    Sha256Update(&((StreamRun*)context)->seal, data, size);
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 5 && strcmp(argv[1], "encode") == 0) {
        // Both files mapped, their pages let go as the encoder moves on, as mkupdate reads a
        // base; so peak memory is the encoder's own.
        MappedFile base, data;
        std::string error;
        if (!base.Open(argv[2], &error) || !data.Open(argv[3], &error)) {
            fprintf(stderr, "delta_tool: %s\n", error.c_str());
            return 2;
        }
        DeltaEncodeOptions options;
        options.release = [&]() {
            base.Release();
            data.Release();
        };
        if (argc >= 6)
            options.wholeSearchLimit = strtoull(argv[5], nullptr, 10);
        std::vector<uint8_t> delta;
        const auto t0 = Clock::now();
        if (!EncodeDelta(base.data(), base.size(), data.data(), data.size(), options, &delta)) {
            fprintf(stderr, "delta_tool: cannot encode\n");
            return 1;
        }
        const double seconds = Seconds(t0);
        WriteFile(argv[4], delta.data(), delta.size());
        printf("%.3f\n", seconds);
        return 0;
    }
    if (argc >= 5 && strcmp(argv[1], "apply") == 0) {
        std::vector<uint8_t> base = ReadFile(argv[2]);
        std::vector<uint8_t> delta = ReadFile(argv[3]);
        const int runs = argc >= 6 ? atoi(argv[5]) : 1;
        DeltaInfo info;
        DeltaStatus status = ReadDeltaInfo(delta.data(), delta.size(), &info);
        if (status != kDeltaOk) {
            fprintf(stderr, "delta_tool: %s\n", DeltaStatusName(status));
            return 1;
        }
        // Untouched pages cost nothing, so peak memory is what the applier really uses.
        uint8_t* out = (uint8_t*)malloc(info.resultSize ? info.resultSize : 1);
        uint8_t* scratch = (uint8_t*)malloc(kDeltaScratchSize);
        double best = 1e30;
        size_t produced = 0;
        for (int r = 0; r < (runs > 0 ? runs : 1); ++r) {
            const auto t0 = Clock::now();
            status = ApplyDelta(base.data(), base.size(), delta.data(), delta.size(), out,
                                info.resultSize, scratch, kDeltaScratchSize, &produced);
            const double s = Seconds(t0);
            if (status != kDeltaOk) {
                fprintf(stderr, "delta_tool: %s\n", DeltaStatusName(status));
                return 1;
            }
            if (s < best)
                best = s;
        }
        WriteFile(argv[4], out, produced);
        printf("%.1f\n", best > 0 ? produced / best / 1e6 : 0.0);
        return 0;
    }
    if (argc >= 4 && strcmp(argv[1], "stream") == 0) {
        std::vector<uint8_t> delta = ReadFile(argv[3]);
        StreamRun r = {};
        r.base = open(argv[2], O_RDONLY);
        const off_t baseSize = r.base < 0 ? -1 : lseek(r.base, 0, SEEK_END);
        if (baseSize < 0) {
            fprintf(stderr, "delta_tool: cannot read %s\n", argv[2]);
            return 2;
        }
        r.delta = &delta;
        std::vector<uint8_t> blocks(kBaseCacheBytes), scratch(kDeltaScratchSize);
        BaseCacheInit(&r.cache, blocks.data(), (uint64_t)baseSize, PreadBase, &r);
        Sha256Init(&r.seal);
        const DeltaIo io = {&r, NextDelta, CachedBase, SealResult, nullptr};
        uint64_t produced = 0;
        const auto t0 = Clock::now();
        const DeltaStatus status =
            ApplyDeltaStream(io, (uint64_t)baseSize, kDeltaBaseProvenByResult, scratch.data(),
                             scratch.size(), &produced);
        const double s = Seconds(t0);
        if (status != kDeltaOk) {
            fprintf(stderr, "delta_tool: %s\n", DeltaStatusName(status));
            return 1;
        }
        printf("%.3f %llu %llu\n", s, (unsigned long long)r.reads, (unsigned long long)r.bytesRead);
        return 0;
    }
    if (argc >= 3 && strcmp(argv[1], "whole") == 0) {
        std::vector<uint8_t> data = ReadFile(argv[2]);
        std::vector<uint8_t> packed;
        CompressOptimal(data.data(), data.size(), &packed);
        // The payload stores an entry raw when compressing does not pay, padded to 16 bytes.
        size_t size = packed.size() < data.size() ? packed.size() : data.size();
        printf("%zu\n", (size + 15) / 16 * 16);
        return 0;
    }
    fprintf(stderr,
            "usage: delta_tool encode BASE NEW DELTA [LIMIT] | apply BASE DELTA OUT [RUNS] | "
            "whole NEW\n");
    return 2;
}
