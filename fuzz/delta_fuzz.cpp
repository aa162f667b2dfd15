// Must not crash, must stay inside its buffers, and must agree with the plain reference
// applier: the first two bytes give the base's length, then come the base and the delta. The
// streaming applier gets the delta in small pieces (their size taken from the first byte) and
// must agree with the applier over memory; every base read must lie inside the base.
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "archive/delta_apply.h"
#include "support/reference_delta.h"

namespace {

struct Pieces {
    const std::vector<uint8_t>* base;
    const std::vector<uint8_t>* delta;
    size_t used;
    size_t piece;
    std::vector<uint8_t> out;
};

ptrdiff_t ReadPiece(void* context, uint8_t* to, size_t size) {
    Pieces* p = (Pieces*)context;
    size_t n = p->delta->size() - p->used;
    n = n < size ? n : size;
    n = n < p->piece ? n : p->piece;
    if (n)
        memcpy(to, p->delta->data() + p->used, n);
    p->used += n;
    return (ptrdiff_t)n;
}

int ReadBase(void* context, uint64_t position, uint8_t* to, size_t size) {
    Pieces* p = (Pieces*)context;
    if (position > p->base->size() || size > p->base->size() - position)
        abort();
    if (size)
        memcpy(to, p->base->data() + position, size);
    return 1;
}

int Write(void* context, const uint8_t* data, size_t size) {
    Pieces* p = (Pieces*)context;
    p->out.insert(p->out.end(), data, data + size);
    return 1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    size_t baseSize = (size_t)data[0] | (size_t)data[1] << 8;
    if (baseSize > size - 2)
        baseSize = size - 2;
    // Exactly sized heap copies, so any access outside them is caught.
    const std::vector<uint8_t> base(data + 2, data + 2 + baseSize);
    const std::vector<uint8_t> delta(data + 2 + baseSize, data + size);
    DeltaInfo info;
    size_t capacity = 1024;
    if (ReadDeltaInfo(delta.data(), delta.size(), &info) == kDeltaOk &&
        info.resultSize <= (1 << 22))
        capacity = (size_t)info.resultSize;
    const size_t kCanary = 16;
    std::vector<uint8_t> out(capacity + kCanary, 0xA5);
    static std::vector<uint8_t> scratch(kDeltaScratchSize);
    size_t produced = 0;
    DeltaStatus status =
        ApplyDelta(base.data(), base.size(), delta.data(), delta.size(), out.data(), capacity,
                   scratch.data(), scratch.size(), &produced);
    if (produced > capacity)
        abort();
    for (size_t i = 0; i < kCanary; ++i)
        if (out[capacity + i] != 0xA5)
            abort();
    ReferenceDelta ref = ReferenceApplyDelta(base, delta);
    if ((status == kDeltaOk) != ref.ok)
        abort();
    if (status == kDeltaOk && (produced != ref.output.size() ||
                               (produced && memcmp(out.data(), ref.output.data(), produced) != 0)))
        abort();

    Pieces pieces = {&base, &delta, 0, 1 + (size_t)(data[0] % 64), {}};
    const DeltaIo io = {&pieces, ReadPiece, ReadBase, Write, nullptr};
    uint64_t streamed = 0;
    const DeltaStatus streamStatus =
        ApplyDeltaStream(io, base.size(), nullptr, scratch.data(), scratch.size(), &streamed);
    if ((streamStatus == kDeltaOk) != ref.ok || streamed != pieces.out.size())
        abort();
    if (streamStatus == kDeltaOk && pieces.out != ref.output)
        abort();
    return 0;
}
