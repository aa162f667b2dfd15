// A deliberately plain decoder of the block format, one bit and one byte at a time, written
// straight from the format's tables. Tests and fuzzers compare the fast decoder against it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "archive/decompress.h"

struct ReferenceResult {
    DecodeStatus status;
    std::vector<uint8_t> output;
};

inline ReferenceResult ReferenceDecode(const uint8_t* src, size_t size, size_t capacity) {
    ReferenceResult r{kDecodeOk, {}};
    size_t pos = 0;
    uint32_t word = 0;
    int left = 0;
    bool cut = false;
    auto bit = [&]() -> unsigned {
        if (left == 0) {
            if (size - pos < 4) {
                cut = true;
                return 0;
            }
            word = (uint32_t)src[pos] | (uint32_t)src[pos + 1] << 8 | (uint32_t)src[pos + 2] << 16 |
                   (uint32_t)src[pos + 3] << 24;
            pos += 4;
            left = 32;
        }
        --left;
        return (word >> left) & 1;
    };
    auto bits = [&](int n) {
        unsigned v = 0;
        while (n-- > 0 && !cut)
            v = v * 2 + bit();
        return v;
    };
    auto byte = [&]() -> unsigned {
        if (pos >= size) {
            cut = true;
            return 0;
        }
        return src[pos++];
    };
    auto copy = [&](size_t dist, size_t len) {
        if (dist > r.output.size()) {
            r.status = kDecodeBadDistance;
            return false;
        }
        if (r.output.size() + len > capacity) {
            r.status = kDecodeOverflow;
            return false;
        }
        for (size_t i = 0; i < len; ++i)
            r.output.push_back(r.output[r.output.size() - dist]);
        return true;
    };
    // Flag words are taken lazily: when a token ends exactly at a word's end, the next word is
    // read only when the following token's first bit is needed.
    for (;;) {
        unsigned first = bits(1);
        if (cut)
            break;
        if (first) {
            unsigned b = byte();
            if (cut)
                break;
            if (r.output.size() >= capacity) {
                r.status = kDecodeOverflow;
                return r;
            }
            r.output.push_back((uint8_t)b);
            continue;
        }
        unsigned second = bits(1);
        if (cut)
            break;
        if (second) {
            unsigned far = bits(1);
            unsigned b = cut ? 0 : byte();
            if (cut)
                break;
            size_t dist;
            if (far) {
                unsigned v = b * 8 + bits(3);
                if (cut)
                    break;
                if (v == 2047)
                    return r;
                dist = v + 257;
            } else {
                dist = b + 1;
            }
            if (!copy(dist, 2))
                return r;
            continue;
        }
        unsigned o;
        if (bits(1)) {
            unsigned b = byte();
            o = b * 2 + bits(1);
        } else if (bits(1)) {
            unsigned b = byte();
            o = (256 + b) * 2 + bits(1);
        } else if (bits(1)) {
            unsigned b = byte();
            o = (256 + b) * 4 + bits(2);
        } else if (bits(1)) {
            unsigned b = byte();
            o = (256 + b) * 8 + bits(3);
        } else {
            unsigned b = byte();
            o = (256 + b) * 16 + bits(4);
        }
        size_t n;
        if (bits(1))
            n = 3;
        else if (bits(1))
            n = 4;
        else if (bits(1))
            n = 5 + bits(1);
        else if (bits(1))
            n = 7 + bits(2);
        else if (bits(1))
            n = 11 + bits(4);
        else
            n = 27 + byte();
        if (cut)
            break;
        if (!copy((size_t)o + 1, n))
            return r;
    }
    r.status = kDecodeTruncated;
    return r;
}
