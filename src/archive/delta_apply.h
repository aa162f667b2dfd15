// Applier of the delta format (archive/delta_format.h): rebuilds a new file from its base and a
// delta.
//
// Guarantee: it never reads outside [base, base + baseSize), [delta, delta + deltaSize) or
// [scratch, scratch + scratchSize), and never writes outside [out, out + outCapacity) and the
// scratch buffer, whatever the delta holds. It allocates nothing; its working memory is the
// caller's scratch buffer (kDeltaScratchSize bytes suffice for every delta the encoder writes)
// and a few kilobytes of stack.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "archive/delta_format.h"

enum DeltaStatus {
    kDeltaOk = 0,
    kDeltaTruncated = 1,      // the delta ends before what it declares
    kDeltaCorrupt = 2,        // inconsistent fields or streams, or the result's check differs
    kDeltaUnsupported = 3,    // not a delta, or a flag or stream method this applier lacks
    kDeltaBaseMismatch = 4,   // the base is not the one the delta was made from (size or check)
    kDeltaBaseRange = 5,      // a copy or seek reaches outside the base
    kDeltaOutputOverflow = 6, // the result does not fit the output buffer
    kDeltaScratchTooSmall = 7 // a window needs more working memory than the caller gave
};

const size_t kDeltaScratchSize = kDeltaMaxWindowStreams;

struct DeltaInfo {
    uint64_t baseSize;
    uint64_t resultSize;
    uint64_t baseCheck;
    uint64_t resultCheck;
    uint64_t windowCount;
    size_t headerSize; // where the first window begins
};

// Reads and checks the header alone, so that a caller can size its buffers first.
DeltaStatus ReadDeltaInfo(const uint8_t* delta, size_t deltaSize, DeltaInfo* info);

// Rebuilds the result into out. kDeltaOk means the result is complete, resultSize bytes long,
// and its check value is the one recorded. On any other status *produced says how far the
// output got; those bytes are not the result.
DeltaStatus ApplyDelta(const uint8_t* base, size_t baseSize, const uint8_t* delta, size_t deltaSize,
                       uint8_t* out, size_t outCapacity, uint8_t* scratch, size_t scratchSize,
                       size_t* produced);

// The format's check value: a chain of 64-bit words, each mixed in by xor, an odd multiplier
// and a rotation. Each step is a bijection of the running value, so any change confined to one
// word (any damaged byte, for one) always changes the result.
uint64_t DeltaCheck(const uint8_t* data, size_t size);

// A text for a status, for messages and tests.
const char* DeltaStatusName(DeltaStatus status);
