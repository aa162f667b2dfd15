// Encoder of the delta format (archive/delta_format.h; the applier is archive/delta_apply.h).
//
// Matches are found over a suffix array of the base (a large base: through hashes of its
// blocks) and extended approximately, so that code which only moved, with its addresses
// shifted, becomes a span of mostly zero differences; the differences, the new bytes and the
// instructions travel in separate streams, each stored the way that is smallest (as it is, our
// block format, order-0 entropy in blocks, or copies within the stream itself,
// payload/delta_lz_encode.h). Over the suffix array a search is tried at every position that a
// filter of the base's 8-byte strings lets through, so that even the short matches of
// compressed data are found.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <vector>

// Bases up to this size are searched whole, over a suffix array of the base, which finds even
// the short matches of compressed data but takes about 5 bytes of memory per base byte (some
// 650 MiB here) and more than linear time. Larger ones go through a table of block hashes (a
// match of 32 bytes or more), in linear time and at most 512 MiB of table, whatever their size.
const uint64_t kDeltaWholeSearchLimit = 128ull << 20;

struct DeltaEncodeOptions {
    // Called whenever the encoder has moved on by releaseEvery bytes (a multiple of 8) and needs
    // none of the pages of base and data it read before; a caller that maps the files lets
    // their pages go there, so that reading them through costs no more resident memory than
    // the stretch last read.
    std::function<void()> release;
    uint64_t releaseEvery = 64ull << 20;
    uint64_t wholeSearchLimit = kDeltaWholeSearchLimit;
    uint32_t blockSize = 0; // a multiple of 8; 0: 32 bytes, more for bases above 4 GiB
    // Streams may be modeled (kDeltaFlagModeled), which only appliers that know the flag read.
    bool modeled = true;
};

// Appends a delta that rebuilds [data, data + size) from [base, base + baseSize) to *out.
// Returns 1, or 0 (nothing appended) when the encoder is unavailable. Besides the two inputs,
// the encoder's memory is the delta itself, the search (the suffix array, or the block table)
// and a bounded batch of windows being packed.
int EncodeDelta(const uint8_t* base, uint64_t baseSize, const uint8_t* data, uint64_t size,
                const DeltaEncodeOptions& options, std::vector<uint8_t>* out);
int EncodeDelta(const uint8_t* base, size_t baseSize, const uint8_t* data, size_t size,
                std::vector<uint8_t>* out);

// Appends the entropy stream of [data, data + size) (stream method 2), tables included.
void EncodeEntropyStream(const uint8_t* data, size_t size, std::vector<uint8_t>* out);
