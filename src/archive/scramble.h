// The archive's reversible block transform: XOR with a key stream that follows from the block's
// length alone, so the same call scrambles and unscrambles. Works in place, allocates nothing.
#pragma once

#include <stdint.h>

void Scramble(void* data, uint32_t length);

// The same transform on a part of a block: size bytes that begin at offset in a block of
// length bytes, so that a block can be unscrambled as it is read.
void ScrambleRange(void* data, uint32_t size, uint32_t offset, uint32_t length);
