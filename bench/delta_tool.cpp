// The delta codec on files, for the delta benchmark (bench/delta-bench.sh), which runs each step
// as a process of its own so that its time and peak memory are measured alone.
//   delta_tool encode BASE NEW DELTA [LIMIT] prints: encode seconds; LIMIT: the largest base
//                                          searched whole (bytes; default the encoder's)
//   delta_tool apply BASE DELTA OUT [RUNS] prints: apply MB/s of output (best of RUNS)
//   delta_tool whole NEW                   prints: size of NEW as one best-level payload entry
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "archive/delta_apply.h"
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
