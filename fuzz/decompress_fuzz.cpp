// Must not crash, and must agree with the plain decoder: the first two bytes give the output
// capacity, the rest is the stream.
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "archive/decompress.h"
#include "support/reference_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    const size_t capacity = (size_t)data[0] | (size_t)data[1] << 8;
    // Exactly sized heap copies, so any access outside them is caught.
    std::vector<uint8_t> src(data + 2, data + size);
    std::vector<uint8_t> dst(capacity);
    size_t produced = 0, consumed = 0;
    DecodeStatus status =
        DecompressBlock(dst.data(), capacity, src.data(), src.size(), &produced, &consumed);
    if (produced > capacity || consumed > src.size())
        abort();
    ReferenceResult ref = ReferenceDecode(src.data(), src.size(), capacity);
    if ((status == kDecodeOk) != (ref.status == kDecodeOk))
        abort();
    if (status == kDecodeOk && (produced != ref.output.size() ||
                                (produced && memcmp(dst.data(), ref.output.data(), produced) != 0)))
        abort();
    return 0;
}
