// Must not crash, must stay inside its buffers, and must agree with the plain reference
// applier: the first two bytes give the base's length, then come the base and the delta.
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "archive/delta_apply.h"
#include "support/reference_delta.h"

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
    return 0;
}
