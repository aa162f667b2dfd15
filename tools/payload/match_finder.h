// Finds earlier copies of the bytes at a position inside the format's 8192-byte window, through
// hash chains walked from the nearest candidate outwards. Shared by both encoder levels.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <vector>

// How many bytes at a and b agree, up to limit; eight at a time. Shared by every match search.
inline size_t CommonLength(const uint8_t* a, const uint8_t* b, size_t limit) {
    size_t n = 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    while (n + 8 <= limit) {
        uint64_t x, y;
        memcpy(&x, a + n, 8);
        memcpy(&y, b + n, 8);
        if (x != y)
            return n + (size_t)__builtin_ctzll(x ^ y) / 8;
        n += 8;
    }
#endif
    while (n < limit && a[n] == b[n])
        ++n;
    return n;
}

struct Match {
    uint32_t length;
    uint32_t distance;
};

struct MatchFinder {
    const uint8_t* data;
    size_t size;
    unsigned maxChain;           // candidates looked at per position
    std::vector<uint32_t> head;  // newest position of each 3-byte hash
    std::vector<uint32_t> prev;  // older position with the same hash, by position mod window
    std::vector<uint32_t> last2; // newest position of each two-byte value
};

void InitMatchFinder(MatchFinder* mf, const uint8_t* data, size_t size, unsigned maxChain);

// Every position must be inserted once, in increasing order, after its matches were asked for.
void InsertPosition(MatchFinder* mf, size_t pos);

// Copies of at least 3 and at most maxLength bytes for pos, nearest first, each longer than the
// one before: for any length, the first match that reaches it has the smallest distance the
// chain walk saw for it. Returns how many were stored in out (room for maxLength entries).
size_t FindMatches(MatchFinder* mf, size_t pos, size_t maxLength, Match* out);

// Distance of the nearest earlier occurrence of the two bytes at pos, or 0 when there is none
// within a short copy's reach.
size_t NearestPair(const MatchFinder* mf, size_t pos);
