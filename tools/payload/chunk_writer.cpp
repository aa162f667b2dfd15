#include "payload/chunk_writer.h"

#include "archive/payload_large.h"
#include "archive/scramble.h"

uint32_t EncodeChunk(const uint8_t* data, uint32_t size, CompressLevel level, bool scramble,
                     std::vector<uint8_t>* out) {
    out->clear();
    CompressBlock(data, size, level, out);
    uint32_t word;
    if (out->size() < size) {
        word = kChunkCompressed | (uint32_t)out->size();
    } else {
        out->assign(data, data + size);
        word = size;
    }
    if (scramble && !out->empty())
        Scramble(out->data(), (uint32_t)out->size());
    return word;
}
