// Applier of the delta format (archive/delta_format.h): rebuilds a new file from its base and a
// delta, window by window, so that neither the base, the delta nor the result is ever held
// whole. The delta is read forward through a callback, the base by position through another,
// and each window's result goes to a third as soon as it is complete.
//
// Guarantee: it never reads outside [scratch, scratch + scratchSize) and what the callbacks
// hand it, and never writes outside the scratch buffer, whatever the delta holds. It allocates
// nothing; its working memory is the caller's scratch buffer (kDeltaScratchSize bytes suffice
// for every delta the encoder writes) and a few kilobytes of stack.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "archive/delta_format.h"
#include "archive/delta_model.h"

enum DeltaStatus {
    kDeltaOk = 0,
    kDeltaTruncated = 1,       // the delta ends before what it declares
    kDeltaCorrupt = 2,         // inconsistent fields or streams, or the result's check differs
    kDeltaUnsupported = 3,     // not a delta, or a flag or stream method this applier lacks
    kDeltaBaseMismatch = 4,    // the base is not the one the delta was made from (size or check)
    kDeltaBaseRange = 5,       // a copy or seek reaches outside the base
    kDeltaOutputOverflow = 6,  // the result does not fit the output buffer
    kDeltaScratchTooSmall = 7, // a window needs more working memory than the caller gave
    kDeltaReadFailed = 8,      // a callback could not read the delta or the base
    kDeltaWriteFailed = 9      // the result's callback did not take a window
};

// The scratch buffer: the delta's bytes of one window (its header and its streams' stored
// bytes, which the encoder never makes larger than their decoded bytes), the window's result,
// then its decoded streams and the lz method's parts, then, for a delta with modeled streams,
// their coder states.
const size_t kDeltaInputScratchSize = kDeltaMaxWindowStreams + kDeltaMaxWindowHeaderSize;
const size_t kDeltaIoScratchSize = kDeltaInputScratchSize + kDeltaMaxWindowOutput;
const size_t kDeltaModelScratchOffset = kDeltaIoScratchSize + kDeltaMaxWindowStreams;
const size_t kDeltaScratchSize = kDeltaModelScratchOffset + kDeltaModelScratchSize;

struct DeltaInfo {
    uint64_t baseSize;
    uint64_t resultSize;
    uint64_t baseCheck;
    uint64_t resultCheck;
    uint64_t windowCount;
    uint64_t flags;
    size_t headerSize; // where the first window begins
};

// Reads and checks the header alone, so that a caller can size its buffers first.
DeltaStatus ReadDeltaInfo(const uint8_t* delta, size_t deltaSize, DeltaInfo* info);

// Where the applier's bytes come from and go to. Each callback gets `context`.
struct DeltaIo {
    void* context;
    // The delta's next bytes, up to size of them, into to: how many (0 only at the delta's
    // end), or -1 when they cannot be read.
    ptrdiff_t (*readDelta)(void* context, uint8_t* to, size_t size);
    // size bytes of the base from position (inside the base) into to; 1 when all were read.
    int (*readBase)(void* context, uint64_t position, uint8_t* to, size_t size);
    // The result's next size bytes; 1 when taken.
    int (*writeResult)(void* context, const uint8_t* data, size_t size);
    // Null, or the result's check value computed by the caller over the bytes writeResult took
    // (DeltaCheckBegin with the result's size), asked for once the last of them went out: the
    // applier then leaves the computing to the caller, who may do it beside other work.
    uint64_t (*resultCheck)(void* context);
};

// Rebuilds the result of a delta over a base of baseSize bytes. With baseCheck, the caller
// vouches that the base's DeltaCheck is *baseCheck (computed as it read the base for another
// reason); without, the base is read once through readBase to compute it. With
// kDeltaBaseProvenByResult the base's check is not computed at all: the caller knows the base
// only by a sample and proves the result by its own digest, and a result whose check differs
// then means a different base, kDeltaBaseMismatch. kDeltaOk means the whole result, its check
// value the recorded one, went to writeResult and the delta ended exactly there. On any other
// status *produced says how many bytes went out; those bytes are not the result.
DeltaStatus ApplyDeltaStream(const DeltaIo& io, uint64_t baseSize, const uint64_t* baseCheck,
                             uint8_t* scratch, size_t scratchSize, uint64_t* produced);
extern const uint64_t* const kDeltaBaseProvenByResult;

// ApplyDeltaStream over memory: the base and the delta in place, the result into out (at most
// outCapacity bytes; a larger one is kDeltaOutputOverflow before anything is written).
DeltaStatus ApplyDelta(const uint8_t* base, size_t baseSize, const uint8_t* delta, size_t deltaSize,
                       uint8_t* out, size_t outCapacity, uint8_t* scratch, size_t scratchSize,
                       size_t* produced);

// The format's check value: a chain of 64-bit words, each mixed in by xor, an odd multiplier
// and a rotation. Each step is a bijection of the running value, so any change confined to one
// word (any damaged byte, for one) always changes the result.
uint64_t DeltaCheck(const uint8_t* data, size_t size);

// The same check over bytes that arrive in parts of any sizes; the total size must be known
// first, as the chain starts from it.
struct DeltaCheckState {
    uint64_t h;
    uint8_t pending[8];
    unsigned pendingSize;
};
void DeltaCheckBegin(DeltaCheckState* s, uint64_t totalSize);
void DeltaCheckUpdate(DeltaCheckState* s, const uint8_t* data, size_t size);
uint64_t DeltaCheckEnd(DeltaCheckState* s);

// A text for a status, for messages and tests.
const char* DeltaStatusName(DeltaStatus status);
