#include "archive/delta_apply.h"

#include <string.h>

#include "archive/decompress.h"

namespace {

// One decoded stream of the current window, read forward by counts.
struct Stream {
    const uint8_t* p;
    size_t left;
};

// Reads one varint; 0 when the stream ends inside it or it is longer than 64 bits.
int ReadVarint(Stream* s, uint64_t* value) {
    uint64_t v = 0;
    for (unsigned i = 0; i < kMaxVarintSize; ++i) {
        if (s->left == 0)
            return 0;
        const uint8_t b = *s->p++;
        --s->left;
        if (i == 9 && b > 1)
            return 0;
        v |= (uint64_t)(b & 0x7f) << (7 * i);
        if (!(b & 0x80)) {
            *value = v;
            return 1;
        }
    }
    return 0;
}

// Reads a varint straight from stored bytes (the entropy table).
int ReadStoredVarint(const uint8_t** p, const uint8_t* end, uint64_t* value) {
    Stream s = {*p, (size_t)(end - *p)};
    if (!ReadVarint(&s, value))
        return 0;
    *p = s.p;
    return 1;
}

// Decodes an entropy stream of decodedSize symbols from [src, src + size) into dst.
DeltaStatus DecodeEntropy(const uint8_t* src, size_t size, uint8_t* dst, size_t decodedSize) {
    const uint8_t* ip = src;
    const uint8_t* const iend = src + size;
    if (size < kEntropyBitmapSize)
        return kDeltaCorrupt;
    const uint8_t* bitmap = ip;
    ip += kEntropyBitmapSize;

    uint8_t symbolOf[kEntropyTotal];
    uint32_t freq[256];
    uint32_t start[256];
    uint32_t total = 0;
    for (unsigned v = 0; v < 256; ++v) {
        freq[v] = 0;
        start[v] = 0;
        if (!(bitmap[v / 8] >> (v % 8) & 1))
            continue;
        uint64_t f;
        if (!ReadStoredVarint(&ip, iend, &f) || f == 0 || f > kEntropyTotal - total)
            return kDeltaCorrupt;
        freq[v] = (uint32_t)f;
        start[v] = total;
        memset(symbolOf + total, (int)v, (size_t)f);
        total += (uint32_t)f;
    }
    if (total != kEntropyTotal || iend - ip < 4)
        return kDeltaCorrupt;
    uint32_t x = DeltaLoad32(ip);
    ip += 4;
    if (x < kEntropyLow || x >= (kEntropyLow << 8))
        return kDeltaCorrupt;

    const uint32_t mask = kEntropyTotal - 1;
    uint8_t* op = dst;
    uint8_t* const oend = dst + decodedSize;
    // While at least four stored bytes remain, a symbol's renormalisation (at most two bytes
    // for a state below 2^31) needs no check of its own.
    while (op < oend && iend - ip >= 4) {
        const uint32_t slot = x & mask;
        const uint8_t s = symbolOf[slot];
        *op++ = s;
        x = freq[s] * (x >> kEntropyScaleBits) + slot - start[s];
        while (x < kEntropyLow)
            x = x << 8 | *ip++;
    }
    while (op < oend) {
        const uint32_t slot = x & mask;
        const uint8_t s = symbolOf[slot];
        *op++ = s;
        x = freq[s] * (x >> kEntropyScaleBits) + slot - start[s];
        while (x < kEntropyLow) {
            if (ip == iend)
                return kDeltaCorrupt;
            x = x << 8 | *ip++;
        }
    }
    return x == kEntropyLow && ip == iend ? kDeltaOk : kDeltaCorrupt;
}

DeltaStatus DecodeStream(uint8_t method, const uint8_t* src, size_t storedSize, uint8_t* dst,
                         size_t decodedSize) {
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
    default:
        return kDeltaUnsupported;
    }
}

// Adds the diff bytes to the base bytes, eight lanes at a time without carries between them.
inline void AddBytes(uint8_t* out, const uint8_t* base, const uint8_t* diff, size_t n) {
    const uint64_t high = 0x8080808080808080ull;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t a, b;
        memcpy(&a, base + i, 8);
        memcpy(&b, diff + i, 8);
        const uint64_t sum = ((a & ~high) + (b & ~high)) ^ ((a ^ b) & high);
        memcpy(out + i, &sum, 8);
    }
    for (; i < n; ++i)
        out[i] = (uint8_t)(base[i] + diff[i]);
}

// Runs one window's ops over its decoded streams.
DeltaStatus RunWindow(const uint8_t* base, uint64_t baseSize, uint64_t basePos, Stream ops,
                      Stream lengths, Stream seeks, Stream diff, Stream literals, uint8_t* op,
                      size_t outputSize) {
    uint8_t* const oend = op + outputSize;
    while (op < oend) {
        if (ops.left == 0)
            return kDeltaCorrupt;
        const unsigned b = *ops.p++;
        --ops.left;
        const unsigned kind = b & 3;
        const unsigned code = b >> 2;
        if (kind == kDeltaOpSeek) {
            uint64_t z = code;
            if (code == kDeltaOpLongCode && !ReadVarint(&seeks, &z))
                return kDeltaCorrupt;
            const int64_t move = ZigzagDecode(z);
            if (move < 0 ? (uint64_t)0 - (uint64_t)move > basePos
                         : (uint64_t)move > baseSize - basePos)
                return kDeltaBaseRange;
            basePos += (uint64_t)move;
            continue;
        }
        uint64_t len = code + 1;
        if (code == kDeltaOpLongCode) {
            uint64_t extra;
            if (!ReadVarint(&lengths, &extra))
                return kDeltaCorrupt;
            len = extra + kDeltaOpLongCode + 1;
            if (len < extra)
                return kDeltaCorrupt;
        }
        if (len > (uint64_t)(oend - op))
            return kDeltaCorrupt;
        const size_t n = (size_t)len;
        if (kind == kDeltaOpInsert) {
            if (n > literals.left)
                return kDeltaCorrupt;
            memcpy(op, literals.p, n);
            literals.p += n;
            literals.left -= n;
            op += n;
            continue;
        }
        if (len > baseSize - basePos)
            return kDeltaBaseRange;
        const uint8_t* from = base + basePos;
        if (kind == kDeltaOpCopy) {
            memcpy(op, from, n);
        } else {
            if (n > diff.left)
                return kDeltaCorrupt;
            AddBytes(op, from, diff.p, n);
            diff.p += n;
            diff.left -= n;
        }
        basePos += len;
        op += n;
    }
    if (ops.left || lengths.left || seeks.left || diff.left || literals.left)
        return kDeltaCorrupt;
    return kDeltaOk;
}

const uint64_t kCheckMultiplier = 0x9E3779B97F4A7C15ull;

inline uint64_t CheckStep(uint64_t h, uint64_t word) {
    h = (h ^ word) * kCheckMultiplier;
    return h << 27 | h >> 37;
}

} // namespace

uint64_t DeltaCheck(const uint8_t* data, size_t size) {
    uint64_t h = 0x243F6A8885A308D3ull ^ ((uint64_t)size * 0xC2B2AE3D27D4EB4Full);
    size_t i = 0;
    for (; i + 8 <= size; i += 8)
        h = CheckStep(h, DeltaLoad64(data + i));
    if (i < size) {
        uint64_t word = 0;
        for (size_t k = 0; i + k < size; ++k)
            word |= (uint64_t)data[i + k] << (8 * k);
        h = CheckStep(h, word);
    }
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 32;
    return h;
}

DeltaStatus ReadDeltaInfo(const uint8_t* delta, size_t deltaSize, DeltaInfo* info) {
    const size_t magic = deltaSize < kDeltaMagicSize ? deltaSize : kDeltaMagicSize;
    if (magic && memcmp(delta, kDeltaMagic, magic) != 0)
        return kDeltaUnsupported;
    Stream s = {delta + magic, deltaSize - magic};
    if (magic < kDeltaMagicSize)
        return kDeltaTruncated;
    // Running out of bytes is a truncation; an overlong varint is not.
    uint64_t flags;
    if (!ReadVarint(&s, &flags) || !ReadVarint(&s, &info->baseSize) ||
        !ReadVarint(&s, &info->resultSize))
        return s.left == 0 ? kDeltaTruncated : kDeltaCorrupt;
    if (flags != 0)
        return kDeltaUnsupported;
    if (s.left < 16)
        return kDeltaTruncated;
    info->baseCheck = DeltaLoad64(s.p);
    info->resultCheck = DeltaLoad64(s.p + 8);
    s.p += 16;
    s.left -= 16;
    if (!ReadVarint(&s, &info->windowCount))
        return s.left == 0 ? kDeltaTruncated : kDeltaCorrupt;
    info->headerSize = (size_t)(s.p - delta);
    // Every window makes at least one byte and at most kDeltaMaxWindowOutput.
    const uint64_t count = info->windowCount;
    if (count > info->resultSize || info->resultSize / kDeltaMaxWindowOutput > count ||
        (info->resultSize / kDeltaMaxWindowOutput == count &&
         info->resultSize % kDeltaMaxWindowOutput != 0))
        return kDeltaCorrupt;
    return kDeltaOk;
}

DeltaStatus ApplyDelta(const uint8_t* base, size_t baseSize, const uint8_t* delta, size_t deltaSize,
                       uint8_t* out, size_t outCapacity, uint8_t* scratch, size_t scratchSize,
                       size_t* produced) {
    *produced = 0;
    DeltaInfo info;
    DeltaStatus status = ReadDeltaInfo(delta, deltaSize, &info);
    if (status != kDeltaOk)
        return status;
    if (info.baseSize != baseSize || DeltaCheck(base, baseSize) != info.baseCheck)
        return kDeltaBaseMismatch;
    if (info.resultSize > outCapacity)
        return kDeltaOutputOverflow;

    const uint8_t* ip = delta + info.headerSize;
    const uint8_t* const iend = delta + deltaSize;
    size_t done = 0;
    for (uint64_t w = 0; w < info.windowCount; ++w) {
        // The header's varints: running out of bytes is a truncation, an overlong one is not.
        uint64_t fields[2 + 2 * kDeltaStreamCount];
        uint8_t methods[kDeltaStreamCount];
        unsigned field = 0;
        for (unsigned k = 0; k < 2 + 3 * kDeltaStreamCount && status == kDeltaOk; ++k) {
            if (k >= 2 && (k - 2) % 3 == 0) {
                if (ip == iend)
                    status = kDeltaTruncated;
                else
                    methods[(k - 2) / 3] = *ip++;
                continue;
            }
            Stream s = {ip, (size_t)(iend - ip)};
            if (!ReadVarint(&s, &fields[field++]))
                status = s.left == 0 ? kDeltaTruncated : kDeltaCorrupt;
            ip = s.p;
        }
        if (status != kDeltaOk)
            break;
        const uint64_t outputSize = fields[0];
        const uint64_t basePos = fields[1];
        if (outputSize == 0 || outputSize > kDeltaMaxWindowOutput ||
            outputSize > info.resultSize - done) {
            status = kDeltaCorrupt;
            break;
        }
        if (basePos > baseSize) {
            status = kDeltaBaseRange;
            break;
        }
        uint64_t decoded[kDeltaStreamCount];
        uint64_t stored[kDeltaStreamCount];
        uint64_t decodedTotal = 0, storedTotal = 0;
        for (uint32_t s = 0; s < kDeltaStreamCount; ++s) {
            decoded[s] = fields[2 + 2 * s];
            stored[s] = fields[3 + 2 * s];
            // Each is bounded before adding, so the sums cannot wrap.
            if (decoded[s] > kDeltaMaxWindowStreams || stored[s] > UINT32_MAX)
                status = kDeltaCorrupt;
            decodedTotal += decoded[s];
            storedTotal += stored[s];
        }
        if (status != kDeltaOk)
            break;
        if (decodedTotal > kDeltaMaxWindowStreams) {
            status = kDeltaCorrupt;
            break;
        }
        if (decodedTotal > scratchSize) {
            status = kDeltaScratchTooSmall;
            break;
        }
        if (storedTotal > (uint64_t)(iend - ip)) {
            status = kDeltaTruncated;
            break;
        }
        Stream streams[kDeltaStreamCount];
        uint8_t* to = scratch;
        for (uint32_t s = 0; s < kDeltaStreamCount && status == kDeltaOk; ++s) {
            status = DecodeStream(methods[s], ip, (size_t)stored[s], to, (size_t)decoded[s]);
            streams[s].p = to;
            streams[s].left = (size_t)decoded[s];
            ip += stored[s];
            to += decoded[s];
        }
        if (status != kDeltaOk)
            break;
        status = RunWindow(base, baseSize, basePos, streams[kDeltaStreamOps],
                           streams[kDeltaStreamLengths], streams[kDeltaStreamSeeks],
                           streams[kDeltaStreamDiff], streams[kDeltaStreamLiterals], out + done,
                           (size_t)outputSize);
        if (status != kDeltaOk)
            break;
        done += outputSize;
    }
    *produced = done;
    if (status != kDeltaOk)
        return status;
    if (done != info.resultSize || ip != iend)
        return kDeltaCorrupt;
    if (DeltaCheck(out, done) != info.resultCheck)
        return kDeltaCorrupt;
    return kDeltaOk;
}

const char* DeltaStatusName(DeltaStatus status) {
    switch (status) {
    case kDeltaOk:
        return "ok";
    case kDeltaTruncated:
        return "truncated";
    case kDeltaCorrupt:
        return "corrupt";
    case kDeltaUnsupported:
        return "unsupported";
    case kDeltaBaseMismatch:
        return "base mismatch";
    case kDeltaBaseRange:
        return "copy outside the base";
    case kDeltaOutputOverflow:
        return "output overflow";
    case kDeltaScratchTooSmall:
        return "scratch too small";
    }
    return "unknown";
}
