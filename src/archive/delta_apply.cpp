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

// Runs one window's ops over its decoded streams; the base is read by position, from *basePosAt,
// which is left where the ops leave it. With copyWhole, a window without streams copies its
// whole output from the base.
DeltaStatus RunWindow(const DeltaIo& io, uint64_t baseSize, uint64_t* basePosAt, Stream ops,
                      Stream lengths, Stream seeks, Stream diff, Stream literals, uint8_t* op,
                      size_t outputSize, bool copyWhole) {
    uint64_t& basePos = *basePosAt;
    uint8_t* const oend = op + outputSize;
    if (copyWhole && !ops.left && !lengths.left && !seeks.left && !diff.left && !literals.left) {
        if (outputSize > baseSize - basePos)
            return kDeltaBaseRange;
        if (!io.readBase(io.context, basePos, op, outputSize))
            return kDeltaReadFailed;
        basePos += outputSize;
        return kDeltaOk;
    }
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
        if (kind == kDeltaOpAdd && n > diff.left)
            return kDeltaCorrupt;
        // The base's bytes land where the result's go; an ADD then adds the diff in place.
        if (!io.readBase(io.context, basePos, op, n))
            return kDeltaReadFailed;
        if (kind == kDeltaOpAdd) {
            AddBytes(op, op, diff.p, n);
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

// The delta's bytes as the windows need them: [start, end) of the buffer are read and not yet
// used. Exactly as many bytes are read as are asked for, so that little is ever moved.
struct Input {
    const DeltaIo* io;
    uint8_t* buffer;
    size_t capacity;
    size_t start;
    size_t end;
    bool ended;
    bool failed;

    size_t Available() const { return end - start; }
    const uint8_t* Data() const { return buffer + start; }
    void Use(size_t n) { start += n; }
    // 1 when at least n bytes (at most the capacity) are available; fewer only at the delta's
    // end or after a failed read.
    int Need(size_t n) {
        if (Available() >= n)
            return 1;
        memmove(buffer, buffer + start, Available());
        end -= start;
        start = 0;
        while (end < n && !ended && !failed) {
            const ptrdiff_t got = io->readDelta(io->context, buffer + end, n - end);
            if (got < 0 || (size_t)got > n - end)
                failed = true;
            else if (got == 0)
                ended = true;
            else
                end += (size_t)got;
        }
        return end >= n;
    }
};

const uint64_t kCheckMultiplier = 0x9E3779B97F4A7C15ull;

inline uint64_t CheckStep(uint64_t h, uint64_t word) {
    h = (h ^ word) * kCheckMultiplier;
    return h << 27 | h >> 37;
}

} // namespace

void DeltaCheckBegin(DeltaCheckState* s, uint64_t totalSize) {
    s->h = 0x243F6A8885A308D3ull ^ (totalSize * 0xC2B2AE3D27D4EB4Full);
    s->pendingSize = 0;
}

void DeltaCheckUpdate(DeltaCheckState* s, const uint8_t* data, size_t size) {
    if (s->pendingSize) {
        while (size && s->pendingSize < 8) {
            s->pending[s->pendingSize++] = *data++;
            --size;
        }
        if (s->pendingSize < 8)
            return;
        s->h = CheckStep(s->h, DeltaLoad64(s->pending));
        s->pendingSize = 0;
    }
    uint64_t h = s->h;
    size_t i = 0;
    for (; i + 8 <= size; i += 8)
        h = CheckStep(h, DeltaLoad64(data + i));
    s->h = h;
    if (i < size)
        memcpy(s->pending, data + i, size - i);
    s->pendingSize = (unsigned)(size - i);
}

uint64_t DeltaCheckEnd(DeltaCheckState* s) {
    uint64_t h = s->h;
    if (s->pendingSize) {
        uint64_t word = 0;
        for (unsigned k = 0; k < s->pendingSize; ++k)
            word |= (uint64_t)s->pending[k] << (8 * k);
        h = CheckStep(h, word);
    }
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 32;
    return h;
}

uint64_t DeltaCheck(const uint8_t* data, size_t size) {
    DeltaCheckState s;
    DeltaCheckBegin(&s, size);
    DeltaCheckUpdate(&s, data, size);
    return DeltaCheckEnd(&s);
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
    if ((flags & ~kDeltaFlagModeled) != 0)
        return kDeltaUnsupported;
    info->flags = flags;
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

namespace {

// Reads the window header at the input's front: outputSize, basePos, and per stream its
// method and sizes. With compact headers (kDeltaFlagModeled) basePos is a move from where the
// last window left the base, *basePos, and a byte says which streams are described; the others
// are empty. Running out of bytes is a truncation, an overlong varint is not.
DeltaStatus ReadWindowHeader(Input* in, bool compact, uint64_t baseSize, uint64_t* basePos,
                             uint64_t fields[2 + 2 * kDeltaStreamCount],
                             uint8_t methods[kDeltaStreamCount]) {
    in->Need(kDeltaMaxWindowHeaderSize);
    if (in->failed)
        return kDeltaReadFailed;
    Stream s = {in->Data(), in->Available()};
    if (!ReadVarint(&s, &fields[0]) || !ReadVarint(&s, &fields[1]))
        return s.left == 0 ? kDeltaTruncated : kDeltaCorrupt;
    unsigned present = (1u << kDeltaStreamCount) - 1;
    if (compact) {
        const int64_t move = ZigzagDecode(fields[1]);
        if (move < 0 ? (uint64_t)0 - (uint64_t)move > *basePos
                     : (uint64_t)move > baseSize - *basePos)
            return kDeltaBaseRange;
        fields[1] = *basePos + (uint64_t)move;
        if (s.left == 0)
            return kDeltaTruncated;
        present = *s.p++;
        --s.left;
        if (present >> kDeltaStreamCount)
            return kDeltaCorrupt;
    }
    for (unsigned k = 0; k < kDeltaStreamCount; ++k) {
        methods[k] = kStreamStored;
        fields[2 + 2 * k] = fields[3 + 2 * k] = 0;
        if (!(present >> k & 1))
            continue;
        if (s.left == 0)
            return kDeltaTruncated;
        methods[k] = *s.p++;
        --s.left;
        if (!ReadVarint(&s, &fields[2 + 2 * k]) || !ReadVarint(&s, &fields[3 + 2 * k]))
            return s.left == 0 ? kDeltaTruncated : kDeltaCorrupt;
    }
    in->Use((size_t)(s.p - in->Data()));
    return kDeltaOk;
}

// The base's check value, read through the callback in parts of the buffer's size.
DeltaStatus CheckBase(const DeltaIo& io, uint64_t baseSize, uint8_t* buffer, size_t bufferSize,
                      uint64_t* check) {
    DeltaCheckState s;
    DeltaCheckBegin(&s, baseSize);
    for (uint64_t at = 0; at < baseSize;) {
        const size_t n = baseSize - at < bufferSize ? (size_t)(baseSize - at) : bufferSize;
        if (!io.readBase(io.context, at, buffer, n))
            return kDeltaReadFailed;
        DeltaCheckUpdate(&s, buffer, n);
        at += n;
    }
    *check = DeltaCheckEnd(&s);
    return kDeltaOk;
}

const uint64_t provenByResultMark = 0;

} // namespace

const uint64_t* const kDeltaBaseProvenByResult = &provenByResultMark;

DeltaStatus ApplyDeltaStream(const DeltaIo& io, uint64_t baseSize, const uint64_t* baseCheck,
                             uint8_t* scratch, size_t scratchSize, uint64_t* produced) {
    *produced = 0;
    if (scratchSize < kDeltaIoScratchSize)
        return kDeltaScratchTooSmall;
    Input in = {&io, scratch, kDeltaInputScratchSize, 0, 0, false, false};
    uint8_t* const window = scratch + kDeltaInputScratchSize;
    uint8_t* const streamArea = scratch + kDeltaIoScratchSize;
    const size_t streamRoom = scratchSize - kDeltaIoScratchSize < kDeltaMaxWindowStreams
                                  ? scratchSize - kDeltaIoScratchSize
                                  : kDeltaMaxWindowStreams;

    in.Need(kDeltaMaxHeaderSize);
    if (in.failed)
        return kDeltaReadFailed;
    DeltaInfo info;
    DeltaStatus status = ReadDeltaInfo(in.Data(), in.Available(), &info);
    if (status != kDeltaOk)
        return status;
    in.Use(info.headerSize);
    if (info.baseSize != baseSize)
        return kDeltaBaseMismatch;
    const bool provenByResult = baseCheck == kDeltaBaseProvenByResult;
    uint64_t check;
    if (provenByResult)
        check = info.baseCheck;
    else if (baseCheck)
        check = *baseCheck;
    else if ((status = CheckBase(io, baseSize, window, kDeltaMaxWindowOutput, &check)) != kDeltaOk)
        return status;
    if (check != info.baseCheck)
        return kDeltaBaseMismatch;
    ModelState* models = 0;
    if (info.flags & kDeltaFlagModeled) {
        if (scratchSize < kDeltaScratchSize)
            return kDeltaScratchTooSmall;
        // The states need their fields' alignment, whatever the scratch's.
        uint8_t* at = scratch + kDeltaModelScratchOffset;
        at += (16 - (uintptr_t)at % 16) % 16;
        models = (ModelState*)(void*)at;
        for (uint32_t s = 0; s < kDeltaStreamCount; ++s)
            ModelStateReset(&models[s]);
    }

    DeltaCheckState result;
    DeltaCheckBegin(&result, info.resultSize);
    uint64_t done = 0;
    const bool compact = (info.flags & kDeltaFlagModeled) != 0;
    uint64_t basePosAt = 0; // where the last window left the base
    for (uint64_t w = 0; w < info.windowCount && status == kDeltaOk; ++w) {
        uint64_t fields[2 + 2 * kDeltaStreamCount];
        uint8_t methods[kDeltaStreamCount];
        if ((status = ReadWindowHeader(&in, compact, baseSize, &basePosAt, fields, methods)) !=
            kDeltaOk)
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
        if (decodedTotal > streamRoom || storedTotal > kDeltaMaxWindowStreams) {
            status = kDeltaScratchTooSmall;
            break;
        }
        if (!in.Need((size_t)storedTotal)) {
            status = in.failed ? kDeltaReadFailed : kDeltaTruncated;
            break;
        }
        // The streams go to the front of their area; an lz stream works in what is left, up to
        // the format's bound on a window's decoded bytes.
        Stream streams[kDeltaStreamCount];
        const uint8_t* ip = in.Data();
        uint8_t* to = streamArea;
        uint8_t* const spare = streamArea + decodedTotal;
        const size_t spareSize = streamRoom - (size_t)decodedTotal;
        for (uint32_t s = 0; s < kDeltaStreamCount && status == kDeltaOk; ++s) {
            if (methods[s] == kStreamModeled)
                status = models && DecodeModeled(ip, (size_t)stored[s], to, (size_t)decoded[s],
                                                 &models[s])
                             ? kDeltaOk
                         : models ? kDeltaCorrupt
                                  : kDeltaUnsupported;
            else
                status = DecodeDeltaStream(methods[s], ip, (size_t)stored[s], to,
                                           (size_t)decoded[s], spare, spareSize);
            if (models && status == kDeltaOk)
                ModelStateAppend(&models[s], to, (size_t)decoded[s]);
            streams[s].p = to;
            streams[s].left = (size_t)decoded[s];
            ip += stored[s];
            to += decoded[s];
        }
        in.Use((size_t)storedTotal);
        if (status != kDeltaOk)
            break;
        basePosAt = basePos;
        status = RunWindow(io, baseSize, &basePosAt, streams[kDeltaStreamOps],
                           streams[kDeltaStreamLengths], streams[kDeltaStreamSeeks],
                           streams[kDeltaStreamDiff], streams[kDeltaStreamLiterals], window,
                           (size_t)outputSize, compact);
        if (status != kDeltaOk)
            break;
        if (!io.resultCheck)
            DeltaCheckUpdate(&result, window, (size_t)outputSize);
        if (!io.writeResult(io.context, window, (size_t)outputSize)) {
            status = kDeltaWriteFailed;
            break;
        }
        done += outputSize;
        *produced = done;
    }
    if (status != kDeltaOk)
        return status;
    // Nothing may follow the last window.
    if (done != info.resultSize || in.Need(1))
        return kDeltaCorrupt;
    if (in.failed)
        return kDeltaReadFailed;
    if ((io.resultCheck ? io.resultCheck(io.context) : DeltaCheckEnd(&result)) != info.resultCheck)
        return provenByResult ? kDeltaBaseMismatch : kDeltaCorrupt;
    return kDeltaOk;
}

namespace {

struct MemoryDelta {
    const uint8_t* base;
    const uint8_t* delta;
    size_t deltaSize;
    size_t deltaUsed;
    uint8_t* out;
    size_t outUsed;
};

ptrdiff_t ReadMemoryDelta(void* context, uint8_t* to, size_t size) {
    MemoryDelta* m = (MemoryDelta*)context;
    const size_t n = m->deltaSize - m->deltaUsed < size ? m->deltaSize - m->deltaUsed : size;
    if (n)
        memcpy(to, m->delta + m->deltaUsed, n);
    m->deltaUsed += n;
    return (ptrdiff_t)n;
}

int ReadMemoryBase(void* context, uint64_t position, uint8_t* to, size_t size) {
    if (size)
        memcpy(to, ((MemoryDelta*)context)->base + position, size);
    return 1;
}

int WriteMemoryResult(void* context, const uint8_t* data, size_t size) {
    MemoryDelta* m = (MemoryDelta*)context;
    memcpy(m->out + m->outUsed, data, size);
    m->outUsed += size;
    return 1;
}

} // namespace

DeltaStatus ApplyDelta(const uint8_t* base, size_t baseSize, const uint8_t* delta, size_t deltaSize,
                       uint8_t* out, size_t outCapacity, uint8_t* scratch, size_t scratchSize,
                       size_t* produced) {
    *produced = 0;
    DeltaInfo info;
    const DeltaStatus status = ReadDeltaInfo(delta, deltaSize, &info);
    if (status != kDeltaOk)
        return status;
    if (info.baseSize != baseSize)
        return kDeltaBaseMismatch;
    const uint64_t check = DeltaCheck(base, baseSize);
    if (check != info.baseCheck)
        return kDeltaBaseMismatch;
    // The result is only ever written up to its declared size, which must fit.
    if (info.resultSize > outCapacity)
        return kDeltaOutputOverflow;
    MemoryDelta m = {base, delta, deltaSize, 0, out, 0};
    const DeltaIo io = {&m, ReadMemoryDelta, ReadMemoryBase, WriteMemoryResult, nullptr};
    uint64_t done = 0;
    const DeltaStatus applied = ApplyDeltaStream(io, baseSize, &check, scratch, scratchSize, &done);
    *produced = (size_t)done;
    return applied;
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
    case kDeltaReadFailed:
        return "read failed";
    case kDeltaWriteFailed:
        return "write failed";
    }
    return "unknown";
}
