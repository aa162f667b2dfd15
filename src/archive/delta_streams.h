// Decoders of a delta window's streams (the methods in archive/delta_format.h), for the applier
// (archive/delta_apply.h). Same guarantee: nothing read outside the stored bytes, nothing
// written outside the destination and the spare memory, nothing allocated.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "archive/delta_apply.h"

// Reads one varint from [*p, end) and advances *p; 0 when the bytes end inside it or it is
// longer than 64 bits (*p is then left where the reading stopped).
int ReadDeltaVarint(const uint8_t** p, const uint8_t* end, uint64_t* value);

// Decodes one stream of `method` from [src, src + storedSize) into exactly decodedSize bytes at
// dst. The lz method keeps its parts in [spare, spare + spareSize) while it runs.
DeltaStatus DecodeDeltaStream(uint8_t method, const uint8_t* src, size_t storedSize, uint8_t* dst,
                              size_t decodedSize, uint8_t* spare, size_t spareSize);
