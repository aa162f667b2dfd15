// Encoder for the archive's block format (the decoder is archive/decompress.h). Every stream it
// writes decodes back to its input byte for byte; the levels differ only in how hard they look
// for the shortest one.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

enum CompressLevel {
    kCompressFast = 1, // greedy: the longest copy at each position
    kCompressBest = 2  // optimal parse over every copy the window offers, by exact bit costs
};

// Appends the compressed stream of [data, data + size), end marker included, to *out.
void CompressGreedy(const uint8_t* data, size_t size, std::vector<uint8_t>* out);
void CompressOptimal(const uint8_t* data, size_t size, std::vector<uint8_t>* out);
void CompressBlock(const uint8_t* data, size_t size, CompressLevel level,
                   std::vector<uint8_t>* out);
