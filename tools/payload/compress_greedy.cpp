// A quick greedy parse: at each position take the longest copy that hash chains find, else a
// two-byte short copy when one is near enough, else a literal.
#include <string.h>

#include "payload/bit_writer.h"
#include "payload/compress.h"

namespace {

const unsigned kHashBits = 15;
const unsigned kMaxChain = 48;
const uint32_t kNone = UINT32_MAX;

inline uint32_t Hash3(const uint8_t* p) {
    const uint32_t v = (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16);
    return (v * 2654435761u) >> (32 - kHashBits);
}

inline uint32_t Key2(const uint8_t* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8);
}

struct Chains {
    std::vector<uint32_t> head;
    std::vector<uint32_t> prev;  // indexed by position within the window
    std::vector<uint32_t> last2; // last position of each two-byte value
};

void Insert(Chains* c, const uint8_t* data, size_t size, size_t pos) {
    if (pos + 2 < size) {
        const uint32_t h = Hash3(data + pos);
        c->prev[pos % kWindowSize] = c->head[h];
        c->head[h] = (uint32_t)pos;
    }
    if (pos + 1 < size)
        c->last2[Key2(data + pos)] = (uint32_t)pos;
}

} // namespace

void CompressGreedy(const uint8_t* data, size_t size, std::vector<uint8_t>* out) {
    BitWriter w;
    BeginStream(&w, out);
    Chains c;
    c.head.assign((size_t)1 << kHashBits, kNone);
    c.prev.assign(kWindowSize, kNone);
    c.last2.assign(65536, kNone);

    size_t pos = 0;
    while (pos < size) {
        size_t bestLen = 0, bestDist = 0;
        const size_t limit = size - pos < kMaxCopy ? size - pos : kMaxCopy;
        if (limit >= kMinLongCopy) {
            uint32_t cand = c.head[Hash3(data + pos)];
            for (unsigned depth = 0; cand != kNone && depth < kMaxChain; ++depth) {
                const size_t dist = pos - cand;
                if (dist > kWindowSize)
                    break;
                size_t len = 0;
                while (len < limit && data[cand + len] == data[pos + len])
                    ++len;
                if (len > bestLen) {
                    bestLen = len;
                    bestDist = dist;
                    if (len == limit)
                        break;
                }
                const uint32_t next = c.prev[cand % kWindowSize];
                if (next == kNone || next >= cand)
                    break;
                cand = next;
            }
        }
        if (bestLen < kMinLongCopy && limit >= 2) {
            bestLen = 0;
            const uint32_t cand = c.last2[Key2(data + pos)];
            if (cand != kNone && pos - cand <= kMaxShortDistance) {
                bestLen = 2;
                bestDist = pos - cand;
            }
        }
        if (bestLen >= 2) {
            PutCopy(&w, bestDist, bestLen);
        } else {
            bestLen = 1;
            PutLiteral(&w, data[pos]);
        }
        for (size_t i = 0; i < bestLen; ++i)
            Insert(&c, data, size, pos + i);
        pos += bestLen;
    }
    EndStream(&w);
}
