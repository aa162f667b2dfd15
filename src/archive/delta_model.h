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

struct StreamModels {
    ModelBit literal[256][256];
    ModelBit literalLength[kModelTree];
    ModelBit matchLength[kModelTree];
    ModelBit offset[kModelOffsetContexts][kModelTree];
};

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
