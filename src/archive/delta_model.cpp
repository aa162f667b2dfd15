#include "archive/delta_model.h"

#include <stddef.h>
#include <string.h>

namespace {

// The arithmetic decoder over a stream's stored bytes. Reading past them is remembered rather
// than done, and makes the stream corrupt.
struct BitDecoder {
    const uint8_t* p;
    const uint8_t* end;
    uint32_t low;
    uint32_t high;
    uint32_t code;
    bool overrun;

    uint8_t Next() {
        if (p == end) {
            overrun = true;
            return 0;
        }
        return *p++;
    }
    void Start(const uint8_t* src, size_t size) {
        p = src;
        end = src + size;
        low = 0;
        high = 0xFFFFFFFFu;
        overrun = false;
        code = 0;
        for (int k = 0; k < 4; ++k)
            code = code << 8 | Next();
    }
    unsigned Decide(uint32_t probability) {
        const uint32_t mid = low + (uint32_t)(((uint64_t)(high - low) * probability) >> 16);
        const unsigned bit = code <= mid;
        if (bit)
            high = mid;
        else
            low = mid + 1;
        while (((low ^ high) & 0xFF000000u) == 0) {
            low <<= 8;
            high = high << 8 | 0xFF;
            code = code << 8 | Next();
        }
        return bit;
    }
    unsigned Bit(ModelBit* m, uint32_t limit) {
        const unsigned bit = Decide(m->p);
        ModelUpdate(m, bit, limit);
        return bit;
    }
    uint32_t Direct(unsigned bits) {
        uint32_t v = 0;
        for (unsigned k = 0; k < bits; ++k)
            v = v << 1 | Decide(32768);
        return v;
    }
    uint32_t Tree(ModelBit* t, unsigned bits, uint32_t limit) {
        uint32_t node = 1;
        for (unsigned k = 0; k < bits; ++k)
            node = node << 1 | Bit(&t[node], limit);
        return node - (1u << bits);
    }
};

// A length from its code (literal runs, and copies less kLzMinMatch); 0 for a code the format
// does not have.
int ModelLength(BitDecoder* d, ModelBit* tree, uint64_t* value, unsigned* code) {
    *code = d->Tree(tree, kModelCodeBits, kModelCodeLimit);
    if (*code > kLzMaxLengthCode)
        return 0;
    if (*code < kLzDirectLengths) {
        *value = *code;
        return 1;
    }
    const unsigned n = *code - 12u;
    *value = (1ull << n) + d->Direct(n);
    return 1;
}

} // namespace

void ModelStateReset(StreamModels* m) {
    // A run of copies, each twice as long as the last, sets the 1.3 MiB of models in a few
    // calls: an applier sets up a fresh state for every modeled delta, however small.
    static_assert(offsetof(StreamModels, mixer) % sizeof(ModelBit) == 0 &&
                      offsetof(StreamModels, mixer) ==
                          sizeof(m->order0) + sizeof(m->order2) + sizeof(m->literal) +
                              sizeof(m->literalLength) + sizeof(m->matchLength) + sizeof(m->offset),
                  "the models lie in one run");
    ModelBit* const first = m->order0;
    const size_t count = offsetof(StreamModels, mixer) / sizeof(ModelBit);
    first[0] = ModelBit{32768, 0};
    for (size_t done = 1; done < count;) {
        const size_t n = done < count - done ? done : count - done;
        memcpy(first + done, first, n * sizeof(ModelBit));
        done += n;
    }
    for (auto& weights : m->mixer)
        for (auto& w : weights)
            w = 65536 / (int32_t)kModelMixInputs;
}

void ModelStateReset(ModelState* state) {
    ModelStateReset(&state->models);
    state->historySize = 0;
}

void ModelStateAppend(ModelState* state, const uint8_t* data, size_t size) {
    // Only the last kDeltaModelHistory bytes can still be reached.
    if (size > kDeltaModelHistory) {
        state->historySize += size - kDeltaModelHistory;
        data += size - kDeltaModelHistory;
        size = kDeltaModelHistory;
    }
    while (size) {
        const size_t at = (size_t)(state->historySize & (kDeltaModelHistory - 1));
        const size_t n = size < kDeltaModelHistory - at ? size : kDeltaModelHistory - at;
        memcpy(state->history + at, data, n);
        state->historySize += n;
        data += n;
        size -= n;
    }
}

int DecodeModeled(const uint8_t* src, size_t storedSize, uint8_t* dst, size_t decodedSize,
                  ModelState* state) {
    StreamModels& m = state->models;
    const uint64_t held =
        state->historySize < kDeltaModelHistory ? state->historySize : kDeltaModelHistory;
    BitDecoder d;
    d.Start(src, storedSize);
    uint64_t reps[kLzRepCount] = {1, 2, 3};
    size_t out = 0;
    // The byte `back` before dst[out]: in the stream itself, else in the history.
    auto before = [&](uint64_t back) -> uint8_t {
        return back <= out ? dst[out - back] : ModelHistoryByte(state, back - out);
    };
    while (out < decodedSize) {
        uint64_t run, length;
        unsigned code;
        if (!ModelLength(&d, m.literalLength, &run, &code) || run > decodedSize - out)
            return 0;
        for (uint64_t k = 0; k < run; ++k) {
            const uint8_t before1 = out + held >= 1 ? before(1) : 0;
            const uint8_t before2 = out + held >= 2 ? before(2) : 0;
            const unsigned slot2 = ModelOrder2Slot(before2, before1);
            unsigned node = 1;
            for (unsigned bit = 0; bit < 8; ++bit) {
                LiteralMix mix;
                const unsigned value =
                    d.Decide(LiteralPredict(&m, before1, slot2, node, bit, &mix));
                LiteralUpdate(&mix, value);
                node = node << 1 | value;
            }
            dst[out++] = (uint8_t)node;
        }
        if (out == decodedSize || d.overrun)
            break;
        if (!ModelLength(&d, m.matchLength, &length, &code))
            return 0;
        length += kLzMinMatch;
        const unsigned context = code < kModelOffsetContexts ? code : kModelOffsetContexts - 1;
        const unsigned offset = d.Tree(m.offset[context], kModelCodeBits, kModelCodeLimit);
        uint64_t distance;
        if (offset < kLzRepCount) {
            distance = reps[offset];
            for (unsigned k = offset; k > 0; --k)
                reps[k] = reps[k - 1];
            reps[0] = distance;
        } else {
            if (offset > kLzMaxOffsetCode)
                return 0;
            const unsigned slot = offset - kLzRepCount;
            uint64_t v = slot;
            if (slot >= 4) {
                const unsigned n = slot / 2 - 1;
                v = ((uint64_t)(2 + slot % 2) << n) + d.Direct(n);
            }
            distance = v + 1;
            reps[2] = reps[1];
            reps[1] = reps[0];
            reps[0] = distance;
        }
        if (distance > out + held || length > decodedSize - out)
            return 0;
        for (uint64_t k = 0; k < length; ++k, ++out)
            dst[out] = before(distance);
        if (d.overrun)
            break;
    }
    // Exactly the stored bytes: the four the decoder started with were the encoder's last.
    if (d.overrun || d.p != d.end)
        return 0;
    return 1;
}
