// The delta format: a new file described as the difference from an older one (its base), shared
// by the applier in the updater and the encoder in the tools. Every number is little-endian and
// read at a fixed offset or as a variable-length integer, never by copying a struct.
//
// Layout: a header, then `windowCount` windows one after another, then nothing.
//
// Header:
//   4 bytes  magic "QVD\0" (51 56 44 00)
//   varint   flags: 0, or kDeltaFlagModeled (a bit this decoder does not know refuses the delta)
//   varint   baseSize     size of the base the delta was made from
//   varint   resultSize   size of the file it rebuilds
//   u64      baseCheck    DeltaCheck of the base
//   u64      resultCheck  DeltaCheck of the result
//   varint   windowCount
//
// A window rebuilds the next `outputSize` bytes of the result (1 to kDeltaMaxWindowOutput; the
// sizes of all windows add up to resultSize) and decodes on its own, so the applier's working
// memory is bounded whatever the file's size. Window header, all varints (a delta with
// kDeltaFlagModeled writes it compactly, below):
//   outputSize
//   basePos, the base position at the window's start (at most baseSize)
//   5 stream descriptors, in the order ops, lengths, seeks, diff, literals:
//     one byte method, varint decodedSize, varint storedSize
// followed by the five streams' stored bytes in the same order. The decoded sizes of a window's
// streams add up to at most kDeltaMaxWindowStreams bytes.
//
// Stream methods:
//   0 stored: storedSize == decodedSize, the bytes as they are.
//   1 block: one stream of the archive's block format (archive/decompress.h) that decodes to
//     exactly decodedSize bytes and ends exactly at storedSize.
//   2 entropy: order-0 range-ANS in blocks, so that the statistics follow the data. A varint
//     blockSymbols (at least 1), then ceil(decodedSize / blockSymbols) blocks, each coding the
//     next blockSymbols symbols (the last one what is left). A block: a 32-byte bitmap of the
//     byte values present (bit v % 8 of byte v / 8), the frequency of each present value in
//     increasing order as a varint (1 to 2^14; together exactly 2^14), kEntropyStates 32-bit
//     initial states (each at least 2^16), then 16-bit little-endian words, read forward.
//     Symbol i of the block uses state i % kEntropyStates: slot = state % 2^14, the symbol s is
//     the one whose frequency range [start(s), start(s) + freq(s)) holds the slot, state =
//     freq(s) * (state / 2^14) + slot - start(s), and when the state is then below 2^16 it
//     takes in the next word as state = state * 2^16 + word. A block ends with every state at
//     2^16 again, and the stream with its last block's last word.
//   3 lz: a dictionary coder over the stream's own bytes, for streams that repeat themselves
//     at any range (new content in the literals, above all). Five parts, each described by one
//     byte method (0 stored or 2 entropy only) and varints decodedSize and storedSize, in the
//     order literals, literal-length codes, match-length codes, offset codes, extra bits;
//     then the parts' stored bytes in that order, ending exactly at the stream's storedSize.
//     The three code parts are equally long: one code each per sequence. A sequence writes
//     LL literals (the next ones of the literals part), then copies ML bytes from `distance`
//     bytes back in the stream's own output (the copy may overlap what it writes). After the
//     last sequence the remaining literals end the stream; every part must be used up exactly.
//     Extra bits are read from the extra-bits part, least significant bit of each byte first,
//     a value's low bit first; per sequence: LL's, then ML's, then the offset's. After the last
//     one fewer than 8 bits may be left over, and they must be zero.
//     Lengths (LL, and ML - kLzMinMatch): code c < 16 is the value c; 16 <= c <= 36 is
//     2^(c - 12) plus c - 12 extra bits.
//     Offsets: codes 0, 1, 2 reuse the distances of earlier sequences (rep0, rep1, rep2, at
//     first 1, 2, 3): 1 swaps rep0 and rep1, 2 moves rep2 to the front. Code c from 3 to 52
//     is a new distance d + 1 with slot = c - 3: d = slot when slot < 4, else with
//     n = slot / 2 - 1 extra bits d = (2 + slot % 2) * 2^n + extra; the new distance becomes
//     rep0 and the others move back one place. A copy may not reach before the stream's start.
//     The parts' decoded sizes and the window's five decoded sizes add up to at most
//     kDeltaMaxWindowStreams.
//   4 modeled: only in a delta whose flags hold kDeltaFlagModeled. Copies and literals as in
//     the lz method, but every decision is coded by a binary arithmetic coder with adaptive
//     probabilities, and the stream does not start afresh. In such a delta each of the five
//     kinds of stream (ops, lengths, ...) has one coder state for the whole delta:
//     - its history: every byte the streams of that kind decoded so far, in every window and
//       whatever their methods, followed by the stream's own output as it grows. Copies may
//       reach back at most kDeltaModelHistory bytes before the stream's start.
//     - its models and the literal mixer's weights as the last modeled stream of that kind
//       left them; at the delta's start every model is p = 32768 with count 0, and every
//       weight 65536 / 3 = 21845.
//     The coder: 32-bit low = 0, high = 0xFFFFFFFF, and code = the first four stored bytes,
//     most significant first. A decision with probability p (that the bit is 1, 1 to 65535):
//     mid = low + ((high - low) * p >> 16), computed in 64 bits; the bit is 1 when
//     code <= mid, and then high = mid, else low = mid + 1. Then, as long as low and high have
//     the same top byte: low = low << 8, high = high << 8 | 0xFF, code = code << 8 | the next
//     stored byte. The stream must take in exactly its stored bytes, no more.
//     A model is a probability p (16 bits) and a count n, and changes after each of its
//     decisions: with s = min(n + 1, limit), p += (65536 - p) >> s after a 1 and
//     p -= p >> s after a 0; then n grows by 1 up to limit (kModelLiteralLimit for the
//     literal models, kModelCodeLimit for the others). A direct bit has p = 32768 and no
//     model. A tree of k bits over models t[1] to t[2^k - 1]: node = 1, then k times bit b
//     from t[node] and node = 2 * node + b; the value is node - 2^k.
//     A literal's 8 bits, the highest first, each with node = 1 followed by the bits before
//     it, are predicted by three models mixed: order0[node], order1[c1][node] and
//     order2[slot][node], where c1 and c2 are the bytes one and two before the literal in the
//     history (0 where there is none) and slot = ((c2 * 256 + c1) * 0x9E3779B1 mod 2^32) >> 16,
//     mod kModelOrder2Slots. Each model's p >> 4 is stretched to s_k; the weights w_k of the
//     bit's place in the byte (0 for the highest to 7) give dot = (sum of w_k * s_k) >> 16 in 64
//     bits, and the decision's p = 16 * squash(dot). After the bit b: with
//     err = 4096 * b - squash(dot), each w_k += (s_k * err) >> kModelMixShift, kept within
//     +-kModelMaxWeight, and each of the three models changes as above. Shifts of negative
//     numbers here keep the sign (floor division). squash(d) is 4095 above 2047, 1 below
//     -2047, else with i = (d >> 7) + 16 and f = d & 127, (T[i] * (128 - f) + T[i + 1] * f +
//     64) >> 7 over the table T of delta_model.h; stretch(q) is the least d from -2047 to 2047
//     with squash(d) >= q.
//     The stream is a series of sequences (rep0, rep1, rep2 start at 1, 2, 3 in every stream);
//     a stream of decodedSize 0 has none, and its stored bytes are the coder's first four:
//     - the literal-length code, a 6-bit tree (codes as in the lz method, above 36 corrupt),
//       and its extra bits as direct bits, most significant first;
//     - that many literals, which may not reach past decodedSize;
//     - if the stream's decodedSize bytes are now written, it ends here;
//     - the match-length code (6-bit tree) and its extra bits; the copy is kLzMinMatch longer;
//     - the offset code, a 6-bit tree of the offset models of context min(match-length code,
//       kModelOffsetContexts - 1), and its extra bits; codes and repeats as in the lz method;
//     - the copy, which may not reach past decodedSize; if it ends there, so does the stream.
//
// Compact window headers: in a delta with kDeltaFlagModeled, a window's basePos is written as
// the zigzag of its move from where the previous window's ops left the base (0 before the
// first window), and is followed by one byte whose bit s (bits 5 to 7 clear) says that stream s
// is described; a stream not described is empty and has no method byte and sizes. A window
// whose five streams are all empty copies its outputSize bytes from the base at basePos, and
// leaves the base at basePos + outputSize.
//
// Ops: one byte each, kind = byte & 3, code = byte >> 2.
//   For COPY, ADD and INSERT the length is code + 1 when code < 63, else 64 plus a varint
//   from the lengths stream.
//   COPY (0)   copies `length` bytes from the base at basePos; basePos advances.
//   ADD (1)    writes base byte + diff byte (mod 256) for `length` bytes; diff comes from the
//              diff stream; basePos advances.
//   INSERT (2) writes `length` bytes of the literals stream; basePos stays.
//   SEEK (3)   moves basePos by a signed amount: the zigzag value code when code < 63, else a
//              zigzag varint from the seeks stream (zigzag: 0, -1, 1, -2, 2, ... as 0, 1, 2,
//              3, 4, ...). basePos must stay within [0, baseSize].
// A COPY or ADD must lie inside the base and no op may reach past the window's outputSize.
// When a window's output is complete, every one of its streams must be used up exactly.
//
// Varints: 7 bits a byte, least significant group first, the high bit set on every byte but
// the last; at most 10 bytes and at most 64 bits.
#pragma once

#include <stddef.h>
#include <stdint.h>

const uint8_t kDeltaMagic[4] = {0x51, 0x56, 0x44, 0x00};

const uint32_t kDeltaMagicSize = 4;
// The longest header: the magic, four varints and the two check values.
const uint32_t kDeltaMaxHeaderSize = kDeltaMagicSize + 4 * 10 + 2 * 8;

const uint32_t kDeltaStreamCount = 5;
const uint32_t kDeltaStreamOps = 0;
const uint32_t kDeltaStreamLengths = 1;
const uint32_t kDeltaStreamSeeks = 2;
const uint32_t kDeltaStreamDiff = 3;
const uint32_t kDeltaStreamLiterals = 4;

// The longest window header: two varints, the byte of streams described (compact headers), and
// per stream a method byte and two varints.
const uint32_t kDeltaMaxWindowHeaderSize = 2 * 10 + 1 + 5 * (1 + 2 * 10);

const uint8_t kStreamStored = 0;
const uint8_t kStreamBlock = 1;
const uint8_t kStreamEntropy = 2;
const uint8_t kStreamLz = 3;
const uint8_t kStreamModeled = 4;

// The header flag that lets windows hold modeled streams, whose coder states run through the
// whole delta.
const uint64_t kDeltaFlagModeled = 1;
const uint32_t kDeltaModelHistory = 4u << 20;
const uint32_t kModelLiteralLimit = 4;
const uint32_t kModelCodeLimit = 5;
const uint32_t kModelCodeBits = 6;
const uint32_t kModelOffsetContexts = 4;
const uint32_t kModelOrder2Slots = 1024;

const uint32_t kLzPartCount = 5;
const uint32_t kLzPartLiterals = 0;
const uint32_t kLzPartLiteralLengths = 1;
const uint32_t kLzPartMatchLengths = 2;
const uint32_t kLzPartOffsets = 3;
const uint32_t kLzPartExtra = 4;
const uint32_t kLzMinMatch = 2;
const uint32_t kLzDirectLengths = 16; // length codes below this are the length itself
const uint32_t kLzMaxLengthCode = 36;
const uint32_t kLzRepCount = 3;
const uint32_t kLzMaxOffsetCode = 52;

const uint32_t kDeltaOpCopy = 0;
const uint32_t kDeltaOpAdd = 1;
const uint32_t kDeltaOpInsert = 2;
const uint32_t kDeltaOpSeek = 3;
const uint32_t kDeltaOpLongCode = 63;

const uint32_t kDeltaMaxWindowOutput = 4u << 20;
const uint32_t kDeltaMaxWindowStreams = 12u << 20;

// Entropy streams: probabilities in 14 bits, two 32-bit states kept in [2^16, 2^32).
const uint32_t kEntropyScaleBits = 14;
const uint32_t kEntropyTotal = 1u << kEntropyScaleBits;
const uint32_t kEntropyLow = 1u << 16;
const uint32_t kEntropyBitmapSize = 32;
const uint32_t kEntropyStates = 4;

const uint32_t kMaxVarintSize = 10;

inline uint32_t DeltaLoad32(const uint8_t* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

inline uint64_t DeltaLoad64(const uint8_t* p) {
    return (uint64_t)DeltaLoad32(p) | (uint64_t)DeltaLoad32(p + 4) << 32;
}

inline void DeltaStore32(uint8_t* p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}

inline void DeltaStore64(uint8_t* p, uint64_t v) {
    DeltaStore32(p, (uint32_t)v);
    DeltaStore32(p + 4, (uint32_t)(v >> 32));
}

inline uint64_t ZigzagEncode(int64_t v) {
    return ((uint64_t)v << 1) ^ (uint64_t)(v >> 63);
}

inline int64_t ZigzagDecode(uint64_t v) {
    return (int64_t)(v >> 1) ^ -(int64_t)(v & 1);
}
