// A deliberately plain applier of the delta format, one byte at a time, written straight from
// the format's description in archive/delta_format.h with growing vectors and no shortcuts.
// Tests and the fuzzer compare the fast applier against it. It tells success from failure
// only; which failure is the fast applier's business.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <algorithm>
#include <vector>

#include "archive/delta_apply.h"
#include "support/reference_decoder.h"

struct ReferenceDelta {
    bool ok;
    std::vector<uint8_t> output;
};

namespace reference_delta {

struct Reader {
    const uint8_t* p;
    size_t size;
    size_t at;
    bool bad;
    uint64_t Int(int bytes) {
        uint64_t v = 0;
        for (int i = 0; i < bytes; ++i) {
            if (at >= size) {
                bad = true;
                return 0;
            }
            v |= (uint64_t)p[at++] << (8 * i);
        }
        return v;
    }
    uint64_t Varint() {
        uint64_t v = 0;
        for (int i = 0; i < 10; ++i) {
            if (at >= size) {
                bad = true;
                return 0;
            }
            uint8_t b = p[at++];
            if (i == 9 && b > 1) {
                bad = true;
                return 0;
            }
            v |= (uint64_t)(b & 0x7f) << (7 * i);
            if (!(b & 0x80))
                return v;
        }
        bad = true;
        return 0;
    }
};

inline bool DecodeEntropy(const std::vector<uint8_t>& in, size_t count, std::vector<uint8_t>* out) {
    Reader r{in.data(), in.size(), 0, false};
    const uint64_t blockSymbols = r.Varint();
    if (r.bad || blockSymbols == 0)
        return false;
    for (size_t done = 0; done < count;) {
        if (in.size() - r.at < 32)
            return false;
        const size_t bitmap = r.at;
        r.at += 32;
        std::vector<uint32_t> freq(256, 0), start(256, 0);
        uint64_t total = 0;
        for (int v = 0; v < 256; ++v) {
            if (!((in[bitmap + v / 8] >> (v % 8)) & 1))
                continue;
            uint64_t f = r.Varint();
            if (r.bad || f == 0 || total + f > 16384)
                return false;
            freq[v] = (uint32_t)f;
            start[v] = (uint32_t)total;
            total += f;
        }
        if (total != 16384)
            return false;
        uint64_t x[4];
        for (int k = 0; k < 4; ++k) {
            x[k] = r.Int(4);
            if (r.bad || x[k] < 65536)
                return false;
        }
        const size_t n = (size_t)std::min<uint64_t>(blockSymbols, count - done);
        for (size_t i = 0; i < n; ++i) {
            uint64_t& state = x[i % 4];
            uint32_t slot = (uint32_t)(state % 16384);
            int s = 0;
            while (!(freq[s] && slot >= start[s] && slot < start[s] + freq[s]))
                ++s;
            out->push_back((uint8_t)s);
            state = freq[s] * (state / 16384) + slot - start[s];
            if (state < 65536) {
                uint64_t word = r.Int(2);
                if (r.bad)
                    return false;
                state = state * 65536 + word;
            }
        }
        for (int k = 0; k < 4; ++k)
            if (x[k] != 65536)
                return false;
        done += n;
    }
    return r.at == in.size();
}

inline bool DecodeStream(int method, const std::vector<uint8_t>& in, size_t count,
                         std::vector<uint8_t>* out, uint64_t partsRoom);

// Extra bits, least significant first, one at a time.
struct BitTaker {
    const std::vector<uint8_t>& bytes;
    size_t bit;
    bool bad;
    uint64_t Take(unsigned n) {
        uint64_t v = 0;
        for (unsigned i = 0; i < n; ++i, ++bit) {
            if (bit / 8 >= bytes.size()) {
                bad = true;
                return 0;
            }
            v |= (uint64_t)(bytes[bit / 8] >> (bit % 8) & 1) << i;
        }
        return v;
    }
};

inline bool LzLength(uint8_t code, BitTaker* bits, uint64_t* value) {
    if (code < 16) {
        *value = code;
        return true;
    }
    if (code > 36)
        return false;
    *value = (1ull << (code - 12)) + bits->Take(code - 12);
    return !bits->bad;
}

// partsRoom: what the window's streams leave of the format's bound on decoded bytes.
inline bool DecodeLz(const std::vector<uint8_t>& in, size_t count, std::vector<uint8_t>* out,
                     uint64_t partsRoom) {
    Reader r{in.data(), in.size(), 0, false};
    int method[5];
    uint64_t decoded[5], stored[5], total = 0;
    for (int k = 0; k < 5; ++k) {
        method[k] = (int)r.Int(1);
        decoded[k] = r.Varint();
        stored[k] = r.Varint();
        if (r.bad || (method[k] != 0 && method[k] != 2) || decoded[k] > (12u << 20))
            return false;
        total += decoded[k];
    }
    if (total > partsRoom)
        return false;
    std::vector<uint8_t> part[5];
    for (int k = 0; k < 5; ++k) {
        if (stored[k] > in.size() - r.at)
            return false;
        std::vector<uint8_t> bytes(in.begin() + (long)r.at, in.begin() + (long)(r.at + stored[k]));
        r.at += stored[k];
        if (!DecodeStream(method[k], bytes, decoded[k], &part[k], 0))
            return false;
    }
    if (r.at != in.size() || part[2].size() != part[1].size() || part[3].size() != part[1].size())
        return false;
    BitTaker bits{part[4], 0, false};
    uint64_t reps[3] = {1, 2, 3};
    size_t literal = 0;
    for (size_t i = 0; i < part[1].size(); ++i) {
        uint64_t run, length;
        if (!LzLength(part[1][i], &bits, &run))
            return false;
        for (uint64_t k = 0; k < run; ++k) {
            if (literal >= part[0].size() || out->size() >= count)
                return false;
            out->push_back(part[0][literal++]);
        }
        if (!LzLength(part[2][i], &bits, &length))
            return false;
        length += 2;
        const unsigned code = part[3][i];
        uint64_t distance;
        if (code == 0) {
            distance = reps[0];
        } else if (code == 1) {
            distance = reps[1];
            reps[1] = reps[0];
            reps[0] = distance;
        } else if (code == 2) {
            distance = reps[2];
            reps[2] = reps[1];
            reps[1] = reps[0];
            reps[0] = distance;
        } else {
            if (code > 52)
                return false;
            const unsigned slot = code - 3;
            uint64_t d = slot;
            if (slot >= 4) {
                const unsigned n = slot / 2 - 1;
                d = ((2 + slot % 2) << n) + bits.Take(n);
                if (bits.bad)
                    return false;
            }
            distance = d + 1;
            reps[2] = reps[1];
            reps[1] = reps[0];
            reps[0] = distance;
        }
        for (uint64_t k = 0; k < length; ++k) {
            if (distance > out->size() || out->size() >= count)
                return false;
            out->push_back((*out)[out->size() - distance]);
        }
    }
    while (literal < part[0].size()) {
        if (out->size() >= count)
            return false;
        out->push_back(part[0][literal++]);
    }
    // Every extra byte used, and what is left of the last one zero.
    if ((bits.bit + 7) / 8 != part[4].size())
        return false;
    for (size_t b = bits.bit; b < part[4].size() * 8; ++b)
        if (part[4][b / 8] >> (b % 8) & 1)
            return false;
    return out->size() == count;
}

inline bool DecodeStream(int method, const std::vector<uint8_t>& in, size_t count,
                         std::vector<uint8_t>* out, uint64_t partsRoom) {
    if (method == 0) {
        *out = in;
        return in.size() == count;
    }
    if (method == 1) {
        // The block format ends at its marker; every stored byte must belong to the stream.
        ReferenceResult r = ReferenceDecode(in.data(), in.size(), count);
        if (r.status != kDecodeOk || r.output.size() != count)
            return false;
        if (!in.empty() && ReferenceDecode(in.data(), in.size() - 1, count).status == kDecodeOk)
            return false;
        *out = r.output;
        return true;
    }
    if (method == 2)
        return DecodeEntropy(in, count, out);
    if (method == 3)
        return DecodeLz(in, count, out, partsRoom);
    return false;
}

} // namespace reference_delta

inline ReferenceDelta ReferenceApplyDelta(const std::vector<uint8_t>& base,
                                          const std::vector<uint8_t>& delta) {
    using namespace reference_delta;
    ReferenceDelta result{false, {}};
    Reader r{delta.data(), delta.size(), 0, false};
    const uint8_t magic[4] = {0x51, 0x56, 0x44, 0x00};
    for (int i = 0; i < 4; ++i)
        if (r.Int(1) != magic[i] || r.bad)
            return result;
    uint64_t flags = r.Varint(), baseSize = r.Varint(), resultSize = r.Varint();
    uint64_t baseCheck = r.Int(8), resultCheck = r.Int(8), windows = r.Varint();
    if (r.bad || flags || baseSize != base.size() ||
        baseCheck != DeltaCheck(base.data(), base.size()))
        return result;
    std::vector<uint8_t>& out = result.output;
    for (uint64_t w = 0; w < windows; ++w) {
        uint64_t outputSize = r.Varint();
        uint64_t pos = r.Varint();
        int method[5];
        uint64_t decoded[5], stored[5], decodedTotal = 0;
        for (int s = 0; s < 5; ++s) {
            method[s] = (int)r.Int(1);
            decoded[s] = r.Varint();
            stored[s] = r.Varint();
            if (decoded[s] > (12u << 20))
                return result;
            decodedTotal += decoded[s];
        }
        if (r.bad || outputSize == 0 || outputSize > (4u << 20) || pos > base.size() ||
            decodedTotal > (12u << 20))
            return result;
        std::vector<uint8_t> streams[5];
        for (int s = 0; s < 5; ++s) {
            if (stored[s] > delta.size() - r.at)
                return result;
            std::vector<uint8_t> in(delta.begin() + (long)r.at,
                                    delta.begin() + (long)(r.at + stored[s]));
            r.at += stored[s];
            if (!DecodeStream(method[s], in, decoded[s], &streams[s], (12u << 20) - decodedTotal))
                return result;
        }
        Reader ops{streams[0].data(), streams[0].size(), 0, false};
        Reader lens{streams[1].data(), streams[1].size(), 0, false};
        Reader seeks{streams[2].data(), streams[2].size(), 0, false};
        Reader diff{streams[3].data(), streams[3].size(), 0, false};
        Reader lits{streams[4].data(), streams[4].size(), 0, false};
        const size_t windowEnd = out.size() + outputSize;
        while (out.size() < windowEnd) {
            uint64_t op = ops.Int(1);
            if (ops.bad)
                return result;
            uint64_t kind = op % 4, code = op / 4;
            if (kind == 3) {
                uint64_t z = code == 63 ? seeks.Varint() : code;
                if (seeks.bad)
                    return result;
                // Zigzag: even values are positive moves, odd ones negative.
                if (z % 2 == 0) {
                    if (z / 2 > base.size() - pos)
                        return result;
                    pos += z / 2;
                } else {
                    if (z / 2 + 1 > pos)
                        return result;
                    pos -= z / 2 + 1;
                }
                continue;
            }
            uint64_t len = code + 1;
            if (code == 63) {
                uint64_t extra = lens.Varint();
                if (lens.bad || extra > UINT64_MAX - 64)
                    return result;
                len = 64 + extra;
            }
            if (len > windowEnd - out.size())
                return result;
            for (uint64_t i = 0; i < len; ++i) {
                if (kind == 2) {
                    uint64_t b = lits.Int(1);
                    if (lits.bad)
                        return result;
                    out.push_back((uint8_t)b);
                    continue;
                }
                if (pos >= base.size())
                    return result;
                uint8_t b = base[pos++];
                if (kind == 1) {
                    uint64_t d = diff.Int(1);
                    if (diff.bad)
                        return result;
                    b = (uint8_t)(b + d);
                }
                out.push_back(b);
            }
        }
        if (ops.at != ops.size || lens.at != lens.size || seeks.at != seeks.size ||
            diff.at != diff.size || lits.at != lits.size)
            return result;
    }
    if (r.at != delta.size() || out.size() != resultSize ||
        DeltaCheck(out.data(), out.size()) != resultCheck)
        return result;
    result.ok = true;
    return result;
}
