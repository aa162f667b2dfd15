// A plain delta writer for tests that need deltas where the real encoder is not built (it needs
// a suffix sorter the Windows toolchain lacks): the common start and end of base and data are
// copied, the middle is inserted, every stream stored as is. The result is a valid delta of the
// format, just not a small one.
#pragma once

#include <stdint.h>

#include <algorithm>
#include <vector>

#include "archive/delta_apply.h"
#include "archive/delta_format.h"

namespace simple_delta {

inline void PutVarint(std::vector<uint8_t>* out, uint64_t v) {
    while (v >= 0x80) {
        out->push_back((uint8_t)(v | 0x80));
        v >>= 7;
    }
    out->push_back((uint8_t)v);
}

inline void PutU64(std::vector<uint8_t>* out, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        out->push_back((uint8_t)(v >> (8 * i)));
}

// One op of kind with its length or seek value, the long forms through their streams.
inline void PutOp(std::vector<uint8_t>* ops, std::vector<uint8_t>* extra, uint32_t kind,
                  uint64_t value) {
    const uint64_t code = kind == kDeltaOpSeek ? value : value - 1;
    if (code < kDeltaOpLongCode) {
        ops->push_back((uint8_t)(code << 2 | kind));
        return;
    }
    ops->push_back((uint8_t)(kDeltaOpLongCode << 2 | kind));
    PutVarint(extra, kind == kDeltaOpSeek ? value : value - 64);
}

} // namespace simple_delta

inline std::vector<uint8_t> SimpleDelta(const std::vector<uint8_t>& base,
                                        const std::vector<uint8_t>& data) {
    using namespace simple_delta;
    const size_t n = data.size(), m = base.size();
    size_t prefix = 0;
    while (prefix < n && prefix < m && data[prefix] == base[prefix])
        ++prefix;
    size_t suffix = 0;
    while (suffix < n - prefix && suffix < m - prefix &&
           data[n - 1 - suffix] == base[m - 1 - suffix])
        ++suffix;
    std::vector<uint8_t> out(kDeltaMagic, kDeltaMagic + kDeltaMagicSize);
    PutVarint(&out, 0);
    PutVarint(&out, m);
    PutVarint(&out, n);
    PutU64(&out, DeltaCheck(base.data(), m));
    PutU64(&out, DeltaCheck(data.data(), n));
    const size_t windows = (n + kDeltaMaxWindowOutput - 1) / kDeltaMaxWindowOutput;
    PutVarint(&out, windows);
    for (size_t w = 0; w < windows; ++w) {
        const size_t begin = w * kDeltaMaxWindowOutput;
        const size_t end = std::min(n, begin + kDeltaMaxWindowOutput);
        // Where the base stands at the window's start: inside the copied start, at its end
        // during the middle, inside the copied end.
        const size_t basePos = begin < prefix       ? begin
                               : begin < n - suffix ? prefix
                                                    : m - (n - begin);
        std::vector<uint8_t> streams[kDeltaStreamCount];
        size_t pos = basePos;
        for (size_t at = begin; at < end;) {
            size_t length;
            uint32_t kind;
            if (at < prefix) {
                kind = kDeltaOpCopy;
                length = std::min(end, prefix) - at;
            } else if (at < n - suffix) {
                kind = kDeltaOpInsert;
                length = std::min(end, n - suffix) - at;
                streams[kDeltaStreamLiterals].insert(streams[kDeltaStreamLiterals].end(),
                                                     data.begin() + (long)at,
                                                     data.begin() + (long)(at + length));
            } else {
                const size_t from = m - (n - at);
                if (pos != from) {
                    PutOp(&streams[kDeltaStreamOps], &streams[kDeltaStreamSeeks], kDeltaOpSeek,
                          ZigzagEncode((int64_t)from - (int64_t)pos));
                    pos = from;
                }
                kind = kDeltaOpCopy;
                length = end - at;
            }
            PutOp(&streams[kDeltaStreamOps], &streams[kDeltaStreamLengths], kind, length);
            if (kind == kDeltaOpCopy)
                pos += length;
            at += length;
        }
        PutVarint(&out, end - begin);
        PutVarint(&out, basePos);
        for (const std::vector<uint8_t>& s : streams) {
            out.push_back(kStreamStored);
            PutVarint(&out, s.size());
            PutVarint(&out, s.size());
        }
        for (const std::vector<uint8_t>& s : streams)
            out.insert(out.end(), s.begin(), s.end());
    }
    return out;
}
