#include "archive/decompress.h"

#include <string.h>

namespace {

// Flag bits live left-aligned in a 64-bit buffer; `avail` counts the valid ones and every bit
// below them is zero. A new 32-bit flag word is taken from the input exactly when a bit is
// needed and none is left, which is the moment the format defines; prefix codes are decoded
// from the available bits first so that no word is ever taken early.
struct Decoder {
    const uint8_t* ip;
    const uint8_t* iend;
    uint8_t* op;
    uint8_t* oend;
    uint8_t* obase;
    uint64_t bits;
    unsigned avail;
};

enum StepResult { kRunning = -1 };

// A token of the fast path reads at most one flag word, two data bytes or a literal run of up
// to 39 bytes, and writes at most 282 bytes plus the slack of the wide copies.
const ptrdiff_t kFastInputMargin = 48;
const ptrdiff_t kFastOutputMargin = 282 + 40;

inline unsigned LeadingZeros(uint64_t v) {
    return v ? (unsigned)__builtin_clzll(v) : 64;
}

inline uint32_t Load32(const uint8_t* p) {
    uint32_t v;
    memcpy(&v, p, 4);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    return v;
}

inline void Copy8(uint8_t* to, const uint8_t* from) {
    uint64_t chunk;
    memcpy(&chunk, from, 8);
    memcpy(to, &chunk, 8);
}

inline void Copy16(uint8_t* to, const uint8_t* from) {
    uint64_t a, b;
    memcpy(&a, from, 8);
    memcpy(&b, from + 8, 8);
    memcpy(to, &a, 8);
    memcpy(to + 8, &b, 8);
}

// For distances 2 to 7: the largest multiple of the distance that is at most 16. Once 16 bytes
// are laid down the output repeats with the distance's period, so those 16 bytes, held in
// registers, can be stored again every this many bytes; no store has to wait for the one
// before it.
const uint8_t kPatternStep[8] = {0, 16, 16, 15, 16, 15, 12, 14};

// Copies len bytes from distance dist with the byte-by-byte meaning of an overlapping copy.
// It may write up to 15 bytes past op + len; the caller guarantees the room.
inline void CopyMatchWide(uint8_t* op, size_t dist, size_t len) {
    const uint8_t* from = op - dist;
    uint8_t* const end = op + len;
    if (dist >= 16) {
        do {
            Copy16(op, from);
            op += 16;
            from += 16;
        } while (op < end);
        return;
    }
    if (dist >= 8) {
        do {
            Copy8(op, from);
            op += 8;
            from += 8;
        } while (op < end);
        return;
    }
    if (dist == 1) {
        const uint64_t fill = 0x0101010101010101ull * *from;
        do {
            memcpy(op, &fill, 8);
            memcpy(op + 8, &fill, 8);
            op += 16;
        } while (op < end);
        return;
    }
    for (int i = 0; i < 16; ++i)
        op[i] = from[i];
    if (len <= 16)
        return;
    uint64_t a, b;
    memcpy(&a, op, 8);
    memcpy(&b, op + 8, 8);
    const size_t step = kPatternStep[dist];
    for (op += step; op < end; op += step) {
        memcpy(op, &a, 8);
        memcpy(op + 8, &b, 8);
    }
}

inline void CopyMatchExact(uint8_t* op, size_t dist, size_t len) {
    const uint8_t* from = op - dist;
    for (size_t i = 0; i < len; ++i)
        op[i] = from[i];
}

template <bool kChecked> int Run(Decoder& d) {
    const uint8_t* ip = d.ip;
    const uint8_t* const iend = d.iend;
    uint8_t* op = d.op;
    uint8_t* const oend = d.oend;
    uint8_t* const obase = d.obase;
    uint64_t bits = d.bits;
    unsigned avail = d.avail;
    int result = kRunning;

#define QV_FAIL(status)                                                                            \
    do {                                                                                           \
        result = (status);                                                                         \
        goto done;                                                                                 \
    } while (0)
#define QV_REFILL()                                                                                \
    do {                                                                                           \
        if (kChecked && iend - ip < 4)                                                             \
            QV_FAIL(kDecodeTruncated);                                                             \
        bits |= (uint64_t)Load32(ip) << (32 - avail);                                              \
        avail += 32;                                                                               \
        ip += 4;                                                                                   \
    } while (0)
#define QV_NEED(count)                                                                             \
    do {                                                                                           \
        if (avail < (count))                                                                       \
            QV_REFILL();                                                                           \
    } while (0)
#define QV_TAKE(var, count)                                                                        \
    do {                                                                                           \
        var = (unsigned)(bits >> (64 - (count)));                                                  \
        bits <<= (count);                                                                          \
        avail -= (count);                                                                          \
    } while (0)
#define QV_BYTE(var)                                                                               \
    do {                                                                                           \
        if (kChecked && ip >= iend)                                                                \
            QV_FAIL(kDecodeTruncated);                                                             \
        var = *ip++;                                                                               \
    } while (0)

    for (;;) {
        if (!kChecked && (iend - ip < kFastInputMargin || oend - op < kFastOutputMargin))
            break;
        QV_NEED(1);
        if (!kChecked) {
            // A run of literal flags, possibly empty: their data bytes stand one after another
            // in the input. Taken without asking first whether there is one, since which kind
            // of token comes next is what a branch predicts worst; a copy follows unless the
            // run used up the flag bits.
            const unsigned run = LeadingZeros(~bits);
            if (run <= 32)
                memcpy(op, ip, 32);
            else
                memcpy(op, ip, run);
            ip += run;
            op += run;
            bits <<= run;
            avail -= run;
            if (!avail)
                continue;
        } else if (bits >> 63) {
            const unsigned run = LeadingZeros(~bits);
            if ((size_t)(iend - ip) < run)
                QV_FAIL(kDecodeTruncated);
            if ((size_t)(oend - op) < run)
                QV_FAIL(kDecodeOverflow);
            memcpy(op, ip, run);
            ip += run;
            op += run;
            bits <<= run;
            avail -= run;
            continue;
        }
        size_t dist, len;
        // The kind's 0 and the bit after it; no data byte stands between them, so taking both
        // at once reads the next flag word where taking them one by one would.
        unsigned isShort;
        QV_NEED(2);
        QV_TAKE(isShort, 2);
        if (isShort) {
            unsigned far, b;
            QV_NEED(1);
            QV_TAKE(far, 1);
            QV_BYTE(b);
            if (far) {
                unsigned x;
                QV_NEED(3);
                QV_TAKE(x, 3);
                unsigned v = b * 8 + x;
                if (v == 2047) {
                    result = kDecodeOk;
                    goto done;
                }
                dist = v + 257;
            } else {
                dist = b + 1;
            }
            len = 2;
            if (!kChecked) {
                // Two single bytes, the second read after the first is written: right for
                // every distance, with none of the wide copy's branches.
                if (dist > (size_t)(op - obase))
                    QV_FAIL(kDecodeBadDistance);
                op[0] = op[-(ptrdiff_t)dist];
                op[1] = op[1 - (ptrdiff_t)dist];
                op += 2;
                continue;
            }
        } else {
            // Offset code: up to four 0 bits, a 1 ending the prefix earlier.
            if (avail < 4 && LeadingZeros(bits) >= avail)
                QV_REFILL();
            unsigned zeros = LeadingZeros(bits);
            if (zeros > 4)
                zeros = 4;
            unsigned prefixBits = zeros == 4 ? 4 : zeros + 1;
            bits <<= prefixBits;
            avail -= prefixBits;
            unsigned b, low;
            QV_BYTE(b);
            static const unsigned kLowBits[5] = {1, 1, 2, 3, 4};
            const unsigned lowBits = kLowBits[zeros];
            QV_NEED(lowBits);
            QV_TAKE(low, lowBits);
            const unsigned hi = zeros == 0 ? b : 256 + b;
            dist = ((size_t)hi << lowBits) + low + 1;

            // Length code: up to five 0 bits, a 1 ending the prefix earlier.
            if (avail < 5 && LeadingZeros(bits) >= avail)
                QV_REFILL();
            zeros = LeadingZeros(bits);
            if (zeros > 5)
                zeros = 5;
            prefixBits = zeros == 5 ? 5 : zeros + 1;
            bits <<= prefixBits;
            avail -= prefixBits;
            if (zeros < 5) {
                static const uint8_t kLengthBase[5] = {3, 4, 5, 7, 11};
                static const uint8_t kLengthBits[5] = {0, 0, 1, 2, 4};
                const unsigned extra = kLengthBits[zeros];
                QV_NEED(extra);
                // Shifted in two steps so that taking no bits is defined.
                len = kLengthBase[zeros] + (size_t)((bits >> 1) >> (63 - extra));
                bits <<= extra;
                avail -= extra;
            } else {
                unsigned v;
                QV_BYTE(v);
                len = 27 + v;
            }
        }
        if (dist > (size_t)(op - obase))
            QV_FAIL(kDecodeBadDistance);
        if (kChecked) {
            if (len > (size_t)(oend - op))
                QV_FAIL(kDecodeOverflow);
            if ((size_t)(oend - op) - len >= 16)
                CopyMatchWide(op, dist, len);
            else
                CopyMatchExact(op, dist, len);
        } else {
            CopyMatchWide(op, dist, len);
        }
        op += len;
    }

done:
#undef QV_FAIL
#undef QV_REFILL
#undef QV_NEED
#undef QV_TAKE
#undef QV_BYTE
    d.ip = ip;
    d.op = op;
    d.bits = bits;
    d.avail = avail;
    return result;
}

} // namespace

DecodeStatus DecompressBlock(uint8_t* dst, size_t dstCapacity, const uint8_t* src, size_t srcSize,
                             size_t* produced, size_t* consumed) {
    Decoder d;
    d.ip = src;
    d.iend = src + srcSize;
    d.op = dst;
    d.oend = dst + dstCapacity;
    d.obase = dst;
    d.bits = 0;
    d.avail = 0;
    int result = Run<false>(d);
    if (result == kRunning)
        result = Run<true>(d);
    if (produced)
        *produced = (size_t)(d.op - dst);
    if (consumed)
        *consumed = (size_t)(d.ip - src);
    return (DecodeStatus)result;
}

int Decompress(void* dst, size_t dstSize, const void* src, size_t srcSize) {
    size_t produced = 0;
    DecodeStatus status =
        DecompressBlock((uint8_t*)dst, dstSize, (const uint8_t*)src, srcSize, &produced, nullptr);
    return status == kDecodeOk && produced == dstSize ? 1 : 0;
}
