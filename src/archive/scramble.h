// The archive's reversible block transform: XOR with a key stream that follows from the block's
// length alone, so the same call scrambles and unscrambles. Works in place, allocates nothing.
#pragma once

#include <stdint.h>

void Scramble(void* data, uint32_t length);
