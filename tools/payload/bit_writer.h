// Writes the format's token stream: flag bits go into 32-bit words that sit in the byte stream
// at the place where the decoder will take them, that is after every data byte written before
// the word's first bit was needed.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

const size_t kWindowSize = 8192;
const size_t kMinLongCopy = 3;
const size_t kMaxCopy = 282;
const size_t kMaxNearShortDistance = 256;
const size_t kMaxShortDistance = 2303;

struct BitWriter {
    std::vector<uint8_t>* out;
    size_t wordPos;
    uint32_t word;
    unsigned used;
};

void BeginStream(BitWriter* w, std::vector<uint8_t>* out);
void PutBits(BitWriter* w, uint32_t value, unsigned count);
void PutByte(BitWriter* w, uint8_t byte);
void PutLiteral(BitWriter* w, uint8_t byte);
// len 2 with distance 1..2303, or len 3..282 with distance 1..8192.
void PutCopy(BitWriter* w, size_t distance, size_t length);
// Writes the end marker and the last flag word.
void EndStream(BitWriter* w);

// Exact cost in bits of each token, for parsers that weigh their choices.
inline unsigned LiteralBits() {
    return 9;
}
unsigned CopyBits(size_t distance, size_t length);
