// Encoder of the delta format's lz stream method (archive/delta_format.h, method 3): copies
// within the stream itself, found through hash chains and chosen by a cost-driven parse, with
// the literals, the three kinds of codes and the extra bits each stored the smaller way (as
// they are, or order-0 entropy).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

// Appends the lz stream of [data, data + size) to *out; *partsSize gets the decoded size of its
// parts, which the applier keeps beside the window's streams.
void EncodeLzStream(const uint8_t* data, size_t size, std::vector<uint8_t>* out, size_t* partsSize);
