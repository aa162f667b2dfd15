// Round trip: whatever either encoder level writes must decode to its input, with both decoders.
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "archive/decompress.h"
#include "payload/compress.h"
#include "support/reference_decoder.h"

static void RoundTrip(const uint8_t* data, size_t size, CompressLevel level) {
    std::vector<uint8_t> stream;
    CompressBlock(data, size, level, &stream);
    std::vector<uint8_t> out(size);
    if (!Decompress(out.data(), size, stream.data(), stream.size()))
        abort();
    if (size && memcmp(out.data(), data, size) != 0)
        abort();
    ReferenceResult ref = ReferenceDecode(stream.data(), stream.size(), size);
    if (ref.status != kDecodeOk || ref.output != out)
        abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    RoundTrip(data, size, kCompressFast);
    RoundTrip(data, size, kCompressBest);
    return 0;
}
