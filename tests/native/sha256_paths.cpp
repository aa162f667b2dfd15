// For the comparison with Python's hashlib: prints, for each length given, the SHA-256 of that
// many first bytes of FILE, from the portable path and from the accelerated one ("-" where the
// processor lacks it).
#include <stdio.h>
#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <vector>

#include "archive/sha256.h"

static void Print(const uint8_t* d) {
    for (size_t i = 0; i < kSha256Size; ++i)
        printf("%02x", d[i]);
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: sha256_paths FILE LENGTH...\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::vector<char> data((std::istreambuf_iterator<char>(in)),
                                 std::istreambuf_iterator<char>());
    for (int i = 2; i < argc; ++i) {
        const size_t length = strtoul(argv[i], nullptr, 10);
        if (length > data.size())
            return 2;
        uint8_t d[kSha256Size];
        Sha256UsePath(kSha256Portable);
        Sha256(data.data(), length, d);
        Print(d);
        printf(" ");
        if (Sha256UsePath(kSha256Accelerated)) {
            Sha256(data.data(), length, d);
            Print(d);
        } else {
            printf("-");
        }
        printf("\n");
    }
    return 0;
}
