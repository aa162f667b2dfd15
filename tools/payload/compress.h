// Encoder for the archive's block format (the decoder is archive/decompress.h). Every stream it
// writes decodes back to its input byte for byte.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

// Appends the compressed stream of [data, data + size), end marker included, to *out.
void CompressGreedy(const uint8_t* data, size_t size, std::vector<uint8_t>* out);
