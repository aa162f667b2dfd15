// The modeled stream method of the delta format (archive/delta_format.h, method 4): the state
// that runs through a whole delta for each kind of stream, its adaptive models, and the decoder.
// The encoder (payload/delta_model_encode.h) keeps the same state with the same code, so that
// the two cannot drift apart. Free of the platform; nothing allocated.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "archive/delta_format.h"

struct ModelBit {
    uint16_t p; // that the next bit is 1, in 16 bits
    uint16_t n; // decisions seen, up to the model's limit
};

inline void ModelUpdate(ModelBit* m, unsigned bit, uint32_t limit) {
    const uint32_t shift = (uint32_t)m->n + 1 < limit ? (uint32_t)m->n + 1 : limit;
    if (bit)
        m->p = (uint16_t)(m->p + ((65536u - m->p) >> shift));
    else
        m->p = (uint16_t)(m->p - (m->p >> shift));
    if (m->n < limit)
        ++m->n;
}

const uint32_t kModelTree = 1u << kModelCodeBits;

// Probabilities in the mixer's domain: 12 bits, and their log-odds ("stretched") in
// [-2047, 2047], 256 to a unit of the natural logarithm.
inline int ModelSquash(int d) {
    static const int kPoints[33] = {1,    2,    4,    6,    10,   17,   27,   45,   74,
                                    120,  194,  311,  488,  747,  1102, 1546, 2048, 2550,
                                    2994, 3349, 3608, 3785, 3902, 3976, 4022, 4051, 4069,
                                    4079, 4086, 4090, 4092, 4094, 4095};
    if (d > 2047)
        return 4095;
    if (d < -2047)
        return 1;
    const int w = d & 127;
    const int i = (d >> 7) + 16;
    return (kPoints[i] * (128 - w) + kPoints[i + 1] * w + 64) >> 7;
}

// The inverse of ModelSquash, as a table built from it.
struct StretchTable {
    int16_t v[4096];
    StretchTable() {
        int p = 0;
        for (int d = -2047; d <= 2047; ++d) {
            const int q = ModelSquash(d);
            for (; p <= q; ++p)
                v[p] = (int16_t)d;
        }
        for (; p < 4096; ++p)
            v[p] = 2047;
    }
};

inline int ModelStretch(uint32_t p12) {
    static const StretchTable table;
    return table.v[p12];
}

// A literal's bits are predicted by three models, after the byte before (order 1), after the
// two before (order 2, hashed into kModelOrder2Slots trees) and after none, whose predictions a
// mixer weighs by how well each has done at that bit of the byte.
const uint32_t kModelMixInputs = 3;
const int kModelMixShift = 10;
const int32_t kModelMaxWeight = 1 << 24;

// Every model comes before the mixer's weights, so that they can be set up as one run.
struct StreamModels {
    ModelBit order0[256];
    ModelBit order2[kModelOrder2Slots][256];
    ModelBit literal[256][256];
    ModelBit literalLength[kModelTree];
    ModelBit matchLength[kModelTree];
    ModelBit offset[kModelOffsetContexts][kModelTree];
    int32_t mixer[8][kModelMixInputs];
};

// A literal bit's prediction in progress: the models and inputs it used, so that the same
// step updates them once the bit is known.
struct LiteralMix {
    ModelBit* models[kModelMixInputs];
    int inputs[kModelMixInputs];
    int32_t* weights;
    int p12;
};

inline unsigned ModelOrder2Slot(uint8_t before2, uint8_t before1) {
    return (((uint32_t)before2 << 8 | before1) * 0x9E3779B1u) >> 16 & (kModelOrder2Slots - 1);
}

// The probability, in 16 bits, that bit `bit` (0 for the highest) of a literal is 1, its
// higher bits being node's path below the tree's root (1).
inline uint32_t LiteralPredict(StreamModels* m, uint8_t before1, unsigned slot2, unsigned node,
                               unsigned bit, LiteralMix* mix) {
    mix->models[0] = &m->order0[node];
    mix->models[1] = &m->literal[before1][node];
    mix->models[2] = &m->order2[slot2][node];
    mix->weights = m->mixer[bit];
    int64_t dot = 0;
    for (uint32_t k = 0; k < kModelMixInputs; ++k) {
        mix->inputs[k] = ModelStretch(mix->models[k]->p >> 4);
        dot += (int64_t)mix->weights[k] * mix->inputs[k];
    }
    mix->p12 = ModelSquash((int)(dot >> 16));
    return (uint32_t)mix->p12 << 4;
}

inline void LiteralUpdate(LiteralMix* mix, unsigned value) {
    const int err = ((int)value << 12) - mix->p12;
    for (uint32_t k = 0; k < kModelMixInputs; ++k) {
        // Bounded, so that no input can drive a weight to overflow.
        const int32_t w = mix->weights[k] + ((mix->inputs[k] * err) >> kModelMixShift);
        mix->weights[k] = w > kModelMaxWeight    ? kModelMaxWeight
                          : w < -kModelMaxWeight ? -kModelMaxWeight
                                                 : w;
        ModelUpdate(mix->models[k], value, kModelLiteralLimit);
    }
}

// One kind of stream's state: its models and the last kDeltaModelHistory bytes its streams
// decoded, in a ring.
struct ModelState {
    StreamModels models;
    uint64_t historySize; // bytes ever added; the ring holds the last of them
    uint8_t history[kDeltaModelHistory];
};

// What the applier needs for a delta with kDeltaFlagModeled, beyond its other scratch: a state
// per kind of stream, aligned for its fields.
const size_t kDeltaModelScratchSize = kDeltaStreamCount * sizeof(ModelState) + 16;

void ModelStateReset(ModelState* state);
void ModelStateReset(StreamModels* models);
// Adds a decoded stream's bytes to the history.
void ModelStateAppend(ModelState* state, const uint8_t* data, size_t size);

// The history byte `back` bytes before its end (1: the last one); back <= the bytes held.
inline uint8_t ModelHistoryByte(const ModelState* state, uint64_t back) {
    return state->history[(state->historySize - back) & (kDeltaModelHistory - 1)];
}

// Decodes one modeled stream of [src, src + storedSize) into exactly decodedSize bytes at dst,
// continuing *state's models; the caller then adds dst's bytes with ModelStateAppend. 0 when
// the stream is corrupt.
int DecodeModeled(const uint8_t* src, size_t storedSize, uint8_t* dst, size_t decodedSize,
                  ModelState* state);
