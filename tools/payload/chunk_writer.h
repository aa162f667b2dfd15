// One chunk of a placed entry (archive/payload_large.h) as it is stored: what the writer of
// large payloads produces chunk by chunk while it reads a file, so that no file is held whole.
#pragma once

#include <stdint.h>

#include <vector>

#include "payload/compress.h"

// Replaces *out with the stored bytes of the chunk [data, data + size): compressed when that
// makes it smaller, then scrambled (keyed by its stored size) when scramble is set. Returns the
// chunk's word of the chunk table.
uint32_t EncodeChunk(const uint8_t* data, uint32_t size, CompressLevel level, bool scramble,
                     std::vector<uint8_t>* out);
