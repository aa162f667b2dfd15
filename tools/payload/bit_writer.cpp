#include "payload/bit_writer.h"

#include <assert.h>

#include "archive/archive_format.h"

void BeginStream(BitWriter* w, std::vector<uint8_t>* out) {
    w->out = out;
    w->wordPos = out->size();
    out->resize(out->size() + 4);
    w->word = 0;
    w->used = 0;
}

static void PutBit(BitWriter* w, unsigned bit) {
    if (w->used == 32) {
        StoreLE32(w->out->data() + w->wordPos, w->word);
        w->wordPos = w->out->size();
        w->out->resize(w->out->size() + 4);
        w->word = 0;
        w->used = 0;
    }
    w->word |= (uint32_t)(bit & 1) << (31 - w->used);
    ++w->used;
}

void PutBits(BitWriter* w, uint32_t value, unsigned count) {
    while (count--)
        PutBit(w, (value >> count) & 1);
}

void PutByte(BitWriter* w, uint8_t byte) {
    w->out->push_back(byte);
}

void PutLiteral(BitWriter* w, uint8_t byte) {
    PutBit(w, 1);
    PutByte(w, byte);
}

static void PutOffset(BitWriter* w, size_t distance) {
    const uint32_t o = (uint32_t)(distance - 1);
    if (o < 512) {
        PutBits(w, 1, 1);
        PutByte(w, (uint8_t)(o >> 1));
        PutBits(w, o & 1, 1);
    } else if (o < 1024) {
        PutBits(w, 1, 2);
        PutByte(w, (uint8_t)((o >> 1) - 256));
        PutBits(w, o & 1, 1);
    } else if (o < 2048) {
        PutBits(w, 1, 3);
        PutByte(w, (uint8_t)((o >> 2) - 256));
        PutBits(w, o & 3, 2);
    } else if (o < 4096) {
        PutBits(w, 1, 4);
        PutByte(w, (uint8_t)((o >> 3) - 256));
        PutBits(w, o & 7, 3);
    } else {
        PutBits(w, 0, 4);
        PutByte(w, (uint8_t)((o >> 4) - 256));
        PutBits(w, o & 15, 4);
    }
}

static void PutLength(BitWriter* w, size_t length) {
    if (length == 3) {
        PutBits(w, 1, 1);
    } else if (length == 4) {
        PutBits(w, 1, 2);
    } else if (length <= 6) {
        PutBits(w, 1, 3);
        PutBits(w, (uint32_t)(length - 5), 1);
    } else if (length <= 10) {
        PutBits(w, 1, 4);
        PutBits(w, (uint32_t)(length - 7), 2);
    } else if (length <= 26) {
        PutBits(w, 1, 5);
        PutBits(w, (uint32_t)(length - 11), 4);
    } else {
        PutBits(w, 0, 5);
        PutByte(w, (uint8_t)(length - 27));
    }
}

void PutCopy(BitWriter* w, size_t distance, size_t length) {
    assert(distance >= 1);
    if (length == 2) {
        assert(distance <= kMaxShortDistance);
        PutBits(w, 1, 2); // 0 1: short copy
        if (distance <= kMaxNearShortDistance) {
            PutBits(w, 0, 1);
            PutByte(w, (uint8_t)(distance - 1));
        } else {
            const uint32_t v = (uint32_t)(distance - 257);
            PutBits(w, 1, 1);
            PutByte(w, (uint8_t)(v >> 3));
            PutBits(w, v & 7, 3);
        }
        return;
    }
    assert(length >= kMinLongCopy && length <= kMaxCopy && distance <= kWindowSize);
    PutBits(w, 0, 2); // 0 0: long copy
    PutOffset(w, distance);
    PutLength(w, length);
}

void EndStream(BitWriter* w) {
    PutBits(w, 3, 3); // 0 1 1: short copy, far form
    PutByte(w, 255);
    PutBits(w, 7, 3); // V = 2047
    StoreLE32(w->out->data() + w->wordPos, w->word);
}

unsigned CopyBits(size_t distance, size_t length) {
    if (length == 2)
        return distance <= kMaxNearShortDistance ? 11 : 14;
    const size_t o = distance - 1;
    const unsigned offsetBits = o < 512 ? 10 : o < 1024 ? 11 : o < 2048 ? 13 : o < 4096 ? 15 : 16;
    const unsigned lengthBits = length == 3    ? 1
                                : length == 4  ? 2
                                : length <= 6  ? 4
                                : length <= 10 ? 6
                                : length <= 26 ? 9
                                               : 13;
    return 2 + offsetBits + lengthBits;
}
