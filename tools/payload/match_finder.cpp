#include "payload/match_finder.h"

#include <string.h>

#include "payload/bit_writer.h"

namespace {

const unsigned kHashBits = 16;
const uint32_t kNone = UINT32_MAX;

inline uint32_t Hash3(const uint8_t* p) {
    const uint32_t v = (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16);
    return (v * 2654435761u) >> (32 - kHashBits);
}

inline uint32_t Key2(const uint8_t* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8);
}

} // namespace

void InitMatchFinder(MatchFinder* mf, const uint8_t* data, size_t size, unsigned maxChain) {
    mf->data = data;
    mf->size = size;
    mf->maxChain = maxChain;
    mf->head.assign((size_t)1 << kHashBits, kNone);
    mf->prev.assign(kWindowSize, kNone);
    mf->last2.assign(65536, kNone);
}

void InsertPosition(MatchFinder* mf, size_t pos) {
    if (pos + 3 <= mf->size) {
        const uint32_t h = Hash3(mf->data + pos);
        mf->prev[pos % kWindowSize] = mf->head[h];
        mf->head[h] = (uint32_t)pos;
    }
    if (pos + 2 <= mf->size)
        mf->last2[Key2(mf->data + pos)] = (uint32_t)pos;
}

size_t FindMatches(MatchFinder* mf, size_t pos, size_t maxLength, Match* out) {
    if (maxLength < kMinLongCopy || pos + 3 > mf->size)
        return 0;
    const uint8_t* here = mf->data + pos;
    size_t count = 0, best = kMinLongCopy - 1;
    uint32_t cand = mf->head[Hash3(here)];
    for (unsigned depth = 0; cand != kNone && depth < mf->maxChain; ++depth) {
        const size_t dist = pos - cand;
        if (dist > kWindowSize)
            break;
        const uint8_t* there = mf->data + cand;
        // Only a candidate that beats the best so far in its next byte can be longer.
        if (there[best] == here[best]) {
            const size_t len = CommonLength(there, here, maxLength);
            if (len > best) {
                out[count++] = Match{(uint32_t)len, (uint32_t)dist};
                best = len;
                if (len == maxLength)
                    break;
            }
        }
        // The ring slot may since have been taken by a newer position: then the chain ends.
        const uint32_t next = mf->prev[cand % kWindowSize];
        if (next == kNone || next >= cand)
            break;
        cand = next;
    }
    return count;
}

size_t NearestPair(const MatchFinder* mf, size_t pos) {
    if (pos + 2 > mf->size)
        return 0;
    const uint32_t cand = mf->last2[Key2(mf->data + pos)];
    if (cand == kNone || pos - cand > kMaxShortDistance)
        return 0;
    return pos - cand;
}
