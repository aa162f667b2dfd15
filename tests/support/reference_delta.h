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
#include "archive/delta_model.h"
#include "support/reference_decoder.h"

struct ReferenceDelta {
    bool ok;
    std::vector<uint8_t> output;
    // What the delta held, so that a test can tell which paths it went through.
    size_t modeledStreams = 0;
    size_t copiedWindows = 0;
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

// The distance an offset code stands for, its extra bits taken by takeBits(n), with the repeats
// moved as the dictionary and modeled streams move them; 0 for a code past the last.
template <class TakeBits>
uint64_t ReferenceDistance(unsigned code, uint64_t reps[3], TakeBits takeBits) {
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
            return 0;
        const unsigned slot = code - 3;
        uint64_t d = slot;
        if (slot >= 4) {
            const unsigned n = slot / 2 - 1;
            d = ((2 + slot % 2) << n) + takeBits(n);
        }
        distance = d + 1;
        reps[2] = reps[1];
        reps[1] = reps[0];
        reps[0] = distance;
    }
    return distance;
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
        const uint64_t distance =
            ReferenceDistance(part[3][i], reps, [&](unsigned n) { return bits.Take(n); });
        if (distance == 0 || bits.bad)
            return false;
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

// Modeled streams (method 4), only in a delta with the modeled flag. Everything here follows
// the description word for word: models as plain numbers, the history as one growing vector,
// stretch found by search.

struct Model {
    uint32_t p = 32768;
    uint32_t n = 0;
};

inline void Adapt(Model* m, int bit, uint32_t limit) {
    const uint32_t s = std::min(m->n + 1, limit);
    if (bit)
        m->p += (65536 - m->p) >> s;
    else
        m->p -= m->p >> s;
    m->n = std::min(m->n + 1, limit);
}

// Division by 2^s rounded down, for negative numbers too.
inline int64_t FloorShift(int64_t v, int s) {
    const int64_t unit = (int64_t)1 << s;
    return v >= 0 ? v / unit : -((-v + unit - 1) / unit);
}

inline int Squash(int64_t d) {
    // The table T of archive/delta_model.h.
    static const int T[33] = {1,    2,    4,    6,    10,   17,   27,   45,   74,   120,  194,
                              311,  488,  747,  1102, 1546, 2048, 2550, 2994, 3349, 3608, 3785,
                              3902, 3976, 4022, 4051, 4069, 4079, 4086, 4090, 4092, 4094, 4095};
    if (d > 2047)
        return 4095;
    if (d < -2047)
        return 1;
    const int64_t i = FloorShift(d, 7) + 16;
    const int64_t f = d - (i - 16) * 128;
    return (int)((T[i] * (128 - f) + T[i + 1] * f + 64) / 128);
}

inline int Stretch(uint32_t q) {
    static const std::vector<int> table = [] {
        std::vector<int> t(4096);
        for (uint32_t v = 0; v < 4096; ++v) {
            int d = -2047;
            while (d < 2047 && Squash(d) < (int)v)
                ++d;
            t[v] = d;
        }
        return t;
    }();
    return table[q];
}

// One kind of stream's state through the whole delta. The models are made at the first
// modeled stream of the kind.
struct KindState {
    std::vector<uint8_t> history;
    bool modeled = false;
    std::vector<Model> order0, order1, order2; // [node], [c1][node], [slot][node]
    int64_t weights[8][3];
    std::vector<Model> literalLength, matchLength, offset; // [node], [node], [context][node]
    void Start() {
        if (modeled)
            return;
        modeled = true;
        order0.assign(256, Model());
        order1.assign(256 * 256, Model());
        order2.assign(kModelOrder2Slots * 256, Model());
        for (auto& place : weights)
            for (auto& w : place)
                w = 65536 / 3;
        literalLength.assign(1u << kModelCodeBits, Model());
        matchLength.assign(1u << kModelCodeBits, Model());
        offset.assign(kModelOffsetContexts << kModelCodeBits, Model());
    }
};

struct Coder {
    const std::vector<uint8_t>& in;
    size_t at;
    uint32_t low, high, code;
    bool bad;
    explicit Coder(const std::vector<uint8_t>& bytes)
        : in(bytes), at(0), low(0), high(0xFFFFFFFF), code(0), bad(false) {
        for (int i = 0; i < 4; ++i)
            code = code << 8 | Next();
    }
    uint32_t Next() {
        if (at >= in.size()) {
            bad = true;
            return 0;
        }
        return in[at++];
    }
    int Decide(uint32_t p) {
        const uint32_t mid = low + (uint32_t)(((uint64_t)(high - low) * p) >> 16);
        int bit;
        if (code <= mid) {
            bit = 1;
            high = mid;
        } else {
            bit = 0;
            low = mid + 1;
        }
        while (!bad && (low >> 24) == (high >> 24)) {
            low = low << 8;
            high = high << 8 | 0xFF;
            code = code << 8 | Next();
        }
        return bit;
    }
    int Bit(Model* m, uint32_t limit) {
        const int bit = Decide(m->p);
        Adapt(m, bit, limit);
        return bit;
    }
    uint64_t Direct(unsigned count) {
        uint64_t v = 0;
        for (unsigned i = 0; i < count; ++i)
            v = v << 1 | (uint64_t)Decide(32768);
        return v;
    }
    uint32_t Tree(Model* t) {
        uint32_t node = 1;
        for (uint32_t i = 0; i < kModelCodeBits; ++i)
            node = 2 * node + (uint32_t)Bit(&t[node], kModelCodeLimit);
        return node - (1u << kModelCodeBits);
    }
};

inline bool ModeledLength(uint32_t code, Coder* c, uint64_t* value) {
    if (code > 36)
        return false;
    *value = code < 16 ? code : (1ull << (code - 12)) + c->Direct(code - 12);
    return true;
}

// The byte `back` bytes before the end of the history followed by the stream's output.
inline uint8_t Behind(const KindState& kind, const std::vector<uint8_t>& out, uint64_t back) {
    if (back <= out.size())
        return out[out.size() - back];
    return kind.history[kind.history.size() - (back - out.size())];
}

inline bool DecodeModeled(const std::vector<uint8_t>& in, size_t count, KindState* kind,
                          std::vector<uint8_t>* out) {
    kind->Start();
    Coder c(in);
    uint64_t reps[3] = {1, 2, 3};
    const uint64_t reach = std::min<uint64_t>(kind->history.size(), kDeltaModelHistory);
    // A stream of no bytes has no sequences: its stored bytes are the coder's first four.
    while (out->size() < count) {
        uint64_t run, length;
        if (!ModeledLength(c.Tree(kind->literalLength.data()), &c, &run))
            return false;
        for (uint64_t k = 0; k < run; ++k) {
            if (out->size() >= count || c.bad)
                return false;
            const uint64_t known = kind->history.size() + out->size();
            const uint32_t c1 = known >= 1 ? Behind(*kind, *out, 1) : 0;
            const uint32_t c2 = known >= 2 ? Behind(*kind, *out, 2) : 0;
            const uint32_t slot = ((c2 * 256 + c1) * 0x9E3779B1u >> 16) % kModelOrder2Slots;
            uint32_t node = 1;
            for (int place = 0; place < 8; ++place) {
                Model* m[3] = {&kind->order0[node], &kind->order1[c1 * 256 + node],
                               &kind->order2[slot * 256 + node]};
                int s[3];
                int64_t sum = 0;
                for (int k2 = 0; k2 < 3; ++k2) {
                    s[k2] = Stretch(m[k2]->p >> 4);
                    sum += kind->weights[place][k2] * s[k2];
                }
                const int squashed = Squash(FloorShift(sum, 16));
                const int bit = c.Decide(squashed ? 16 * (uint32_t)squashed : 1);
                const int64_t err = 4096 * bit - squashed;
                for (int k2 = 0; k2 < 3; ++k2) {
                    int64_t& w = kind->weights[place][k2];
                    w = std::clamp<int64_t>(w + FloorShift(s[k2] * err, kModelMixShift),
                                            -kModelMaxWeight, kModelMaxWeight);
                    Adapt(m[k2], bit, kModelLiteralLimit);
                }
                node = 2 * node + (uint32_t)bit;
            }
            out->push_back((uint8_t)(node - 256));
        }
        if (c.bad)
            return false;
        if (out->size() == count)
            break;
        const uint32_t lengthCode = c.Tree(kind->matchLength.data());
        if (!ModeledLength(lengthCode, &c, &length))
            return false;
        length += kLzMinMatch;
        const uint32_t context = std::min(lengthCode, kModelOffsetContexts - 1);
        const uint32_t code = c.Tree(&kind->offset[context << kModelCodeBits]);
        const uint64_t distance =
            ReferenceDistance(code, reps, [&](unsigned n) { return c.Direct(n); });
        if (distance == 0 || c.bad || distance > out->size() + reach)
            return false;
        for (uint64_t k = 0; k < length; ++k) {
            if (out->size() >= count)
                return false;
            out->push_back(Behind(*kind, *out, distance));
        }
    }
    return !c.bad && c.at == in.size();
}

} // namespace reference_delta

inline ReferenceDelta ReferenceApplyDelta(const std::vector<uint8_t>& base,
                                          const std::vector<uint8_t>& delta) {
    using namespace reference_delta;
    ReferenceDelta result{false, {}, 0, 0};
    Reader r{delta.data(), delta.size(), 0, false};
    const uint8_t magic[4] = {0x51, 0x56, 0x44, 0x00};
    for (int i = 0; i < 4; ++i)
        if (r.Int(1) != magic[i] || r.bad)
            return result;
    uint64_t flags = r.Varint(), baseSize = r.Varint(), resultSize = r.Varint();
    uint64_t baseCheck = r.Int(8), resultCheck = r.Int(8), windows = r.Varint();
    if (r.bad || (flags != 0 && flags != 1) || baseSize != base.size() ||
        baseCheck != DeltaCheck(base.data(), base.size()))
        return result;
    const bool modeled = flags == 1;
    KindState kinds[5];
    uint64_t left = 0; // where the last window's ops left the base
    std::vector<uint8_t>& out = result.output;
    for (uint64_t w = 0; w < windows; ++w) {
        uint64_t outputSize = r.Varint();
        uint64_t pos = r.Varint();
        uint64_t described = 0x1F;
        if (modeled) {
            // A zigzag move from where the last window left the base.
            if (pos % 2 == 0) {
                if (pos / 2 > base.size() - left)
                    return result;
                pos = left + pos / 2;
            } else {
                if (pos / 2 + 1 > left)
                    return result;
                pos = left - (pos / 2 + 1);
            }
            described = r.Int(1);
            if (described > 0x1F)
                return result;
        }
        int method[5];
        uint64_t decoded[5], stored[5], decodedTotal = 0;
        for (int s = 0; s < 5; ++s) {
            method[s] = 0;
            decoded[s] = stored[s] = 0;
            if (!(described >> s & 1))
                continue;
            method[s] = (int)r.Int(1);
            decoded[s] = r.Varint();
            stored[s] = r.Varint();
            if (decoded[s] > (12u << 20) || (method[s] == 4 && !modeled))
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
            if (method[s] == 4 ? !DecodeModeled(in, decoded[s], &kinds[s], &streams[s])
                               : !DecodeStream(method[s], in, decoded[s], &streams[s],
                                               (12u << 20) - decodedTotal))
                return result;
            result.modeledStreams += method[s] == 4;
            kinds[s].history.insert(kinds[s].history.end(), streams[s].begin(), streams[s].end());
        }
        if (modeled && decodedTotal == 0) {
            // No streams: the window is the base's next outputSize bytes.
            for (uint64_t i = 0; i < outputSize; ++i) {
                if (pos >= base.size())
                    return result;
                out.push_back(base[pos++]);
            }
            left = pos;
            ++result.copiedWindows;
            continue;
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
        left = pos;
    }
    if (r.at != delta.size() || out.size() != resultSize ||
        DeltaCheck(out.data(), out.size()) != resultCheck)
        return result;
    result.ok = true;
    return result;
}
