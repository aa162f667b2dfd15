// Encoder of the delta format (archive/delta_format.h; the applier is archive/delta_apply.h).
//
// Matches are found over a suffix array of the base and extended approximately, so that code
// which only moved, with its addresses shifted, becomes a span of mostly zero differences; the
// differences, the new bytes and the instructions travel in separate streams, each stored the
// way that is smallest (as it is, our block format, order-0 entropy in blocks, or copies within
// the stream itself, payload/delta_lz_encode.h). A search in the base is tried at every position
// that a filter of the base's 8-byte strings lets through, so that even the short matches of
// compressed data are found.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

// 1 when this build can encode deltas (the suffix sorter is a library that is not in every
// toolchain); without it EncodeDelta always fails.
int DeltaEncoderAvailable();

// Largest base the match finder takes.
const uint64_t kDeltaMaxBase = (1ull << 31) - 1;

// Appends a delta that rebuilds [data, data + size) from [base, base + baseSize) to *out.
// Returns 1, or 0 (nothing appended) when the encoder is unavailable or the base is larger than
// kDeltaMaxBase.
int EncodeDelta(const uint8_t* base, size_t baseSize, const uint8_t* data, size_t size,
                std::vector<uint8_t>* out);

// Appends the entropy stream of [data, data + size) (stream method 2), tables included.
void EncodeEntropyStream(const uint8_t* data, size_t size, std::vector<uint8_t>* out);
