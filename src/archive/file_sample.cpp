#include "archive/file_sample.h"

uint32_t SampleSpanCount(uint64_t size) {
    if (size == 0)
        return 0;
    return size <= kSampleWholeSize ? 1 : kSampleBlocks;
}

void SampleSpan(uint64_t size, uint32_t i, uint64_t* offset, uint32_t* length) {
    if (size <= kSampleWholeSize) {
        *offset = 0;
        *length = (uint32_t)size;
        return;
    }
    // (size - block) * i stays far below 2^64 for any file a disk holds: i < 64.
    *offset = (size - kSampleBlockSize) * i / (kSampleBlocks - 1);
    *length = kSampleBlockSize;
}

void SampleBegin(Sha256Context* c, uint64_t size) {
    uint8_t le[8];
    for (int i = 0; i < 8; ++i)
        le[i] = (uint8_t)(size >> (8 * i));
    Sha256Init(c);
    Sha256Update(c, le, sizeof le);
}

void SampleOfMemory(const uint8_t* data, uint64_t size, uint8_t out[kSha256Size]) {
    Sha256Context c;
    SampleBegin(&c, size);
    for (uint32_t i = 0; i < SampleSpanCount(size); ++i) {
        uint64_t offset;
        uint32_t length;
        SampleSpan(size, i, &offset, &length);
        Sha256Update(&c, data + offset, length);
    }
    Sha256Final(&c, out);
}

void SampleStreamBegin(SampleStream* s, uint64_t size) {
    SampleBegin(&s->c, size);
    s->size = size;
    s->at = 0;
    s->span = 0;
}

void SampleStreamFeed(SampleStream* s, const uint8_t* data, size_t n) {
    const uint64_t begin = s->at, end = s->at + n;
    s->at = end;
    for (; s->span < SampleSpanCount(s->size); ++s->span) {
        uint64_t offset;
        uint32_t length;
        SampleSpan(s->size, s->span, &offset, &length);
        if (offset >= end)
            return;
        const uint64_t from = offset > begin ? offset : begin;
        const uint64_t to = offset + length < end ? offset + length : end;
        if (from < to)
            Sha256Update(&s->c, data + (from - begin), (size_t)(to - from));
        if (offset + length > end)
            return; // the span goes on in the next part
    }
}

void SampleStreamEnd(SampleStream* s, uint8_t out[kSha256Size]) {
    Sha256Final(&s->c, out);
}
