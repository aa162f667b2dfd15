#include "archive/delta_streams.h"

#include <string.h>

#include "archive/decompress.h"

int ReadDeltaVarint(const uint8_t** p, const uint8_t* end, uint64_t* value) {
    uint64_t v = 0;
    const uint8_t* ip = *p;
    for (unsigned i = 0; i < kMaxVarintSize; ++i) {
        if (ip == end)
            break;
        const uint8_t b = *ip++;
        if (i == 9 && b > 1)
            break;
        v |= (uint64_t)(b & 0x7f) << (7 * i);
        if (!(b & 0x80)) {
            *p = ip;
            *value = v;
            return 1;
        }
    }
    *p = ip;
    return 0;
}

namespace {

// One block's table: the symbol of each slot, and each symbol's frequency and first slot.
struct EntropyTable {
    uint8_t symbolOf[kEntropyTotal];
    uint32_t range[256]; // frequency in the low 16 bits, first slot in the high 16
};

// Reads a block's bitmap and frequencies from *ip.
int ReadEntropyTable(const uint8_t** ip, const uint8_t* iend, EntropyTable* t) {
    if (iend - *ip < (ptrdiff_t)kEntropyBitmapSize)
        return 0;
    const uint8_t* bitmap = *ip;
    *ip += kEntropyBitmapSize;
    uint32_t total = 0;
    for (unsigned v = 0; v < 256; ++v) {
        t->range[v] = 0;
        if (!(bitmap[v / 8] >> (v % 8) & 1))
            continue;
        uint64_t f;
        if (!ReadDeltaVarint(ip, iend, &f) || f == 0 || f > kEntropyTotal - total)
            return 0;
        t->range[v] = (uint32_t)f | total << 16;
        memset(t->symbolOf + total, (int)v, (size_t)f);
        total += (uint32_t)f;
    }
    return total == kEntropyTotal;
}

// The state after taking symbol s out of state x, before renormalisation.
inline uint32_t NextState(const EntropyTable& t, uint32_t x, uint8_t* s) {
    const uint32_t slot = x & (kEntropyTotal - 1);
    *s = t.symbolOf[slot];
    const uint32_t range = t.range[*s];
    return (range & 0xFFFF) * (x >> kEntropyScaleBits) + slot - (range >> 16);
}

// Decodes an entropy stream of decodedSize symbols from [src, src + size) into dst.
DeltaStatus DecodeEntropy(const uint8_t* src, size_t size, uint8_t* dst, size_t decodedSize) {
    const uint8_t* ip = src;
    const uint8_t* const iend = src + size;
    uint64_t blockSymbols;
    if (!ReadDeltaVarint(&ip, iend, &blockSymbols) || blockSymbols == 0)
        return kDeltaCorrupt;
    EntropyTable table;
    uint8_t* op = dst;
    uint8_t* const oend = dst + decodedSize;
    while (op < oend) {
        uint8_t* const blockStart = op;
        uint8_t* const blockEnd = op + (blockSymbols < (uint64_t)(oend - op) ? (size_t)blockSymbols
                                                                             : (size_t)(oend - op));
        if (!ReadEntropyTable(&ip, iend, &table) || iend - ip < 4 * (ptrdiff_t)kEntropyStates)
            return kDeltaCorrupt;
        uint32_t x[kEntropyStates];
        for (uint32_t k = 0; k < kEntropyStates; ++k) {
            x[k] = DeltaLoad32(ip);
            ip += 4;
            if (x[k] < kEntropyLow)
                return kDeltaCorrupt;
        }
        // A round of symbols takes at most two bytes each: while that many remain, no check is
        // needed. The round's words are loaded before any state knows whether it needs one, so
        // that no state waits for another one's read.
        while (blockEnd - op >= (ptrdiff_t)kEntropyStates &&
               iend - ip >= 2 * (ptrdiff_t)kEntropyStates) {
            uint32_t next[kEntropyStates], words[kEntropyStates];
            for (uint32_t k = 0; k < kEntropyStates; ++k) {
                next[k] = NextState(table, x[k], &op[k]);
                words[k] = (uint32_t)ip[2 * k] | (uint32_t)ip[2 * k + 1] << 8;
            }
            uint32_t taken = 0;
            for (uint32_t k = 0; k < kEntropyStates; ++k) {
                const uint32_t refill = next[k] < kEntropyLow;
                x[k] = refill ? next[k] << 16 | words[taken] : next[k];
                taken += refill;
            }
            ip += 2 * taken;
            op += kEntropyStates;
        }
        for (; op < blockEnd; ++op) {
            uint32_t* state = &x[(size_t)(op - blockStart) % kEntropyStates];
            *state = NextState(table, *state, op);
            if (*state < kEntropyLow) {
                if (iend - ip < 2)
                    return kDeltaCorrupt;
                *state = *state << 16 | (uint32_t)ip[0] | (uint32_t)ip[1] << 8;
                ip += 2;
            }
        }
        for (uint32_t k = 0; k < kEntropyStates; ++k)
            if (x[k] != kEntropyLow)
                return kDeltaCorrupt;
    }
    return ip == iend ? kDeltaOk : kDeltaCorrupt;
}

// The extra-bits part, read forward a byte at a time into a 64-bit buffer.
struct BitReader {
    const uint8_t* p;
    const uint8_t* end;
    uint64_t buffer;
    unsigned count;
};

// Takes n bits (at most 24); 0 when the part ends first.
inline int TakeBits(BitReader* r, unsigned n, uint32_t* value) {
    while (r->count < n) {
        if (r->p == r->end)
            return 0;
        r->buffer |= (uint64_t)*r->p++ << r->count;
        r->count += 8;
    }
    *value = (uint32_t)(r->buffer & ((1ull << n) - 1));
    r->buffer >>= n;
    r->count -= n;
    return 1;
}

inline int LengthValue(uint8_t code, BitReader* bits, uint64_t* value) {
    if (code < kLzDirectLengths) {
        *value = code;
        return 1;
    }
    if (code > kLzMaxLengthCode)
        return 0;
    const unsigned n = code - 12u;
    uint32_t extra;
    if (!TakeBits(bits, n, &extra))
        return 0;
    *value = (1ull << n) + extra;
    return 1;
}

// Copies n bytes from `from` to op. Short copies move 16 bytes in two words when both sides
// have that much room before oend and fromEnd, which saves a call per copy; bytes past n are
// written over later.
inline void CopyForward(uint8_t* op, const uint8_t* from, size_t n, const uint8_t* oend,
                        const uint8_t* fromEnd) {
    if (n <= 16 && oend - op >= 16 && fromEnd - from >= 16) {
        uint64_t a, b;
        memcpy(&a, from, 8);
        memcpy(&b, from + 8, 8);
        memcpy(op, &a, 8);
        memcpy(op + 8, &b, 8);
        return;
    }
    memcpy(op, from, n);
}

// Copies n bytes from distance bytes back; byte by byte where the two overlap, so that a short
// distance repeats a pattern.
inline void CopyBack(uint8_t* op, size_t distance, size_t n, const uint8_t* oend) {
    const uint8_t* from = op - distance;
    if (distance >= n) {
        // Reading 16 bytes from `from` stays before op + 16 - distance, inside the output.
        if (distance >= 16) {
            CopyForward(op, from, n, oend, oend);
            return;
        }
        memcpy(op, from, n);
        return;
    }
    for (size_t i = 0; i < n; ++i)
        op[i] = from[i];
}

DeltaStatus DecodeLz(const uint8_t* src, size_t size, uint8_t* dst, size_t decodedSize,
                     uint8_t* spare, size_t spareSize) {
    const uint8_t* ip = src;
    const uint8_t* const iend = src + size;
    uint8_t methods[kLzPartCount];
    uint64_t decoded[kLzPartCount], stored[kLzPartCount];
    uint64_t decodedTotal = 0, storedTotal = 0;
    for (uint32_t k = 0; k < kLzPartCount; ++k) {
        if (ip == iend)
            return kDeltaCorrupt;
        methods[k] = *ip++;
        if (!ReadDeltaVarint(&ip, iend, &decoded[k]) || !ReadDeltaVarint(&ip, iend, &stored[k]))
            return kDeltaCorrupt;
        // Each is bounded before adding, so the sums cannot wrap.
        if (decoded[k] > kDeltaMaxWindowStreams || stored[k] > size)
            return kDeltaCorrupt;
        decodedTotal += decoded[k];
        storedTotal += stored[k];
    }
    const uint64_t sequences = decoded[kLzPartLiteralLengths];
    if (storedTotal != (uint64_t)(iend - ip) || decoded[kLzPartMatchLengths] != sequences ||
        decoded[kLzPartOffsets] != sequences || decoded[kLzPartLiterals] > decodedSize ||
        sequences > decodedSize / kLzMinMatch)
        return kDeltaCorrupt;
    if (decodedTotal > spareSize)
        return kDeltaScratchTooSmall;

    const uint8_t* part[kLzPartCount];
    uint8_t* to = spare;
    for (uint32_t k = 0; k < kLzPartCount; ++k) {
        if (methods[k] != kStreamStored && methods[k] != kStreamEntropy)
            return kDeltaCorrupt;
        const DeltaStatus status =
            DecodeDeltaStream(methods[k], ip, (size_t)stored[k], to, (size_t)decoded[k], 0, 0);
        if (status != kDeltaOk)
            return status;
        part[k] = to;
        ip += stored[k];
        to += decoded[k];
    }

    const uint8_t* literals = part[kLzPartLiterals];
    const uint8_t* const literalsEnd = to; // the parts end here: over-reads stay inside them
    size_t literalsLeft = (size_t)decoded[kLzPartLiterals];
    BitReader bits = {part[kLzPartExtra], part[kLzPartExtra] + decoded[kLzPartExtra], 0, 0};
    size_t reps[kLzRepCount] = {1, 2, 3};
    uint8_t* op = dst;
    uint8_t* const oend = dst + decodedSize;
    for (size_t i = 0; i < (size_t)sequences; ++i) {
        uint64_t run, length;
        if (!LengthValue(part[kLzPartLiteralLengths][i], &bits, &run) || run > literalsLeft ||
            run > (uint64_t)(oend - op))
            return kDeltaCorrupt;
        CopyForward(op, literals, (size_t)run, oend, literalsEnd);
        op += run;
        literals += run;
        literalsLeft -= (size_t)run;

        if (!LengthValue(part[kLzPartMatchLengths][i], &bits, &length))
            return kDeltaCorrupt;
        length += kLzMinMatch;
        const unsigned code = part[kLzPartOffsets][i];
        size_t distance;
        if (code < kLzRepCount) {
            distance = reps[code];
            for (unsigned k = code; k > 0; --k)
                reps[k] = reps[k - 1];
            reps[0] = distance;
        } else {
            if (code > kLzMaxOffsetCode)
                return kDeltaCorrupt;
            const unsigned slot = code - kLzRepCount;
            size_t d = slot;
            if (slot >= 4) {
                const unsigned n = slot / 2 - 1;
                uint32_t extra;
                if (!TakeBits(&bits, n, &extra))
                    return kDeltaCorrupt;
                d = ((size_t)(2 + slot % 2) << n) + extra;
            }
            distance = d + 1;
            reps[2] = reps[1];
            reps[1] = reps[0];
            reps[0] = distance;
        }
        if (distance > (size_t)(op - dst) || length > (uint64_t)(oend - op))
            return kDeltaCorrupt;
        CopyBack(op, distance, (size_t)length, oend);
        op += length;
    }
    if (literalsLeft != (size_t)(oend - op) || bits.p != bits.end || bits.count >= 8 ||
        bits.buffer != 0)
        return kDeltaCorrupt;
    if (literalsLeft)
        memcpy(op, literals, literalsLeft);
    return kDeltaOk;
}

} // namespace

DeltaStatus DecodeDeltaStream(uint8_t method, const uint8_t* src, size_t storedSize, uint8_t* dst,
                              size_t decodedSize, uint8_t* spare, size_t spareSize) {
    switch (method) {
    case kStreamStored:
        if (storedSize != decodedSize)
            return kDeltaCorrupt;
        if (decodedSize)
            memcpy(dst, src, decodedSize);
        return kDeltaOk;
    case kStreamBlock: {
        size_t produced = 0, consumed = 0;
        DecodeStatus status =
            DecompressBlock(dst, decodedSize, src, storedSize, &produced, &consumed);
        return status == kDecodeOk && produced == decodedSize && consumed == storedSize
                   ? kDeltaOk
                   : kDeltaCorrupt;
    }
    case kStreamEntropy:
        return DecodeEntropy(src, storedSize, dst, decodedSize);
    case kStreamLz:
        return DecodeLz(src, storedSize, dst, decodedSize, spare, spareSize);
    default:
        return kDeltaUnsupported;
    }
}
