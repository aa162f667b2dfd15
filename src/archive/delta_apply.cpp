#include "archive/delta_apply.h"

#include <string.h>

#include "archive/delta_streams.h"

namespace {

// One decoded stream of the current window, read forward by counts.
struct Stream {
    const uint8_t* p;
    size_t left;
};

// Reads one varint; 0 when the stream ends inside it or it is longer than 64 bits.
inline int ReadVarint(Stream* s, uint64_t* value) {
    const uint8_t* p = s->p;
    const int ok = ReadDeltaVarint(&p, s->p + s->left, value);
    s->left -= (size_t)(p - s->p);
    s->p = p;
    return ok;
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
        // The streams go to the front of the scratch buffer; an lz stream works in what is left,
        // up to the format's bound on a window's decoded bytes.
        Stream streams[kDeltaStreamCount];
        uint8_t* to = scratch;
        uint8_t* const spare = scratch + decodedTotal;
        const size_t spareSize =
            (scratchSize < kDeltaMaxWindowStreams ? scratchSize : kDeltaMaxWindowStreams) -
            (size_t)decodedTotal;
        for (uint32_t s = 0; s < kDeltaStreamCount && status == kDeltaOk; ++s) {
            status = DecodeDeltaStream(methods[s], ip, (size_t)stored[s], to, (size_t)decoded[s],
                                       spare, spareSize);
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
