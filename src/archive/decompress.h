// Decoder for the archive's block format: an LZ77 stream with an 8192-byte window, steered by
// 32-bit flag words that are interleaved with the data bytes and ended by an explicit marker.
//
// Guarantee: the decoder never reads outside [src, src + srcSize) and never writes outside
// [dst, dst + dstCapacity), whatever the input holds. It allocates nothing.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum DecodeStatus {
    kDecodeOk = 0,         // the end marker was reached
    kDecodeTruncated = 1,  // the input ended before the end marker
    kDecodeOverflow = 2,   // the stream wants more output than the buffer holds
    kDecodeBadDistance = 3 // a copy reaches back before the start of the output
};

// Decodes one stream. On return *produced holds the bytes written and *consumed the bytes read
// (both may be null). Output bytes past *produced may have been overwritten with scratch data,
// but only inside the buffer.
DecodeStatus DecompressBlock(uint8_t* dst, size_t dstCapacity, const uint8_t* src, size_t srcSize,
                             size_t* produced, size_t* consumed);

// 1 when the stream ends inside srcSize bytes and decodes to exactly dstSize bytes, else 0.
int Decompress(void* dst, size_t dstSize, const void* src, size_t srcSize);

// Upper bound of the bytes any stream of srcSize bytes can decode to: the densest token, a
// 282-byte copy, costs 25 bits. Lets a reader refuse an absurd declared size before allocating.
inline uint64_t MaxDecodedSize(uint64_t srcSize) {
    return srcSize * 8 / 25 * 282 + 282;
}
