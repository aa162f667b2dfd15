// Optimal parse: the format has no entropy coding, so a token's cost in bits is fixed by its
// kind, distance class and length class, and the shortest stream is a shortest path through the
// positions of the input. Each position's edges are a literal, the nearest two-byte short copy
// and, for every length, the nearest copy the window offers of at least that length.
//
// The path is solved chunk by chunk to keep memory flat whatever the input's size; a chunk ends
// early at a copy so long that no other choice could pay (long runs would otherwise cost one
// edge per length per position).
#include <string.h>

#include "payload/bit_writer.h"
#include "payload/compress.h"
#include "payload/match_finder.h"

namespace {

const size_t kChunk = 1 << 15;
const size_t kNiceLength = 160;
const unsigned kMaxChain = 256;
const uint32_t kUnreached = UINT32_MAX;

struct Step {
    uint32_t cost;     // bits from the chunk's start to here
    uint16_t length;   // of the token that ends here: 1 for a literal
    uint16_t distance; // of that token when it is a copy
};

struct Token {
    uint16_t length;
    uint16_t distance;
};

// Bits of a long copy's length code and of its offset code, by value.
struct CostTables {
    uint8_t lengthBits[kMaxCopy + 1];
    CostTables() {
        for (size_t len = kMinLongCopy; len <= kMaxCopy; ++len)
            lengthBits[len] = (uint8_t)(CopyBits(1, len) - CopyBits(1, kMinLongCopy) + 1);
    }
};

inline unsigned LongCopyBaseBits(size_t distance) {
    // Everything but the length code's bits.
    return CopyBits(distance, kMinLongCopy) - 1;
}

void Emit(BitWriter* w, const uint8_t* data, size_t start, const std::vector<Token>& tokens) {
    size_t pos = start;
    for (const Token& t : tokens) {
        if (t.length == 1)
            PutLiteral(w, data[pos]);
        else
            PutCopy(w, t.distance, t.length);
        pos += t.length;
    }
}

// The cheapest tokens from the chunk's start to end, in input order.
void TraceBack(const std::vector<Step>& steps, size_t end, std::vector<Token>* tokens) {
    tokens->clear();
    for (size_t at = end; at > 0; at -= steps[at].length)
        tokens->push_back(Token{steps[at].length, steps[at].distance});
    for (size_t i = 0, j = tokens->size(); i + 1 < j; ++i, --j) {
        const Token t = (*tokens)[i];
        (*tokens)[i] = (*tokens)[j - 1];
        (*tokens)[j - 1] = t;
    }
}

inline void Relax(std::vector<Step>& steps, size_t at, uint32_t cost, size_t length,
                  size_t distance) {
    if (cost < steps[at].cost)
        steps[at] = Step{cost, (uint16_t)length, (uint16_t)distance};
}

} // namespace

void CompressOptimal(const uint8_t* data, size_t size, std::vector<uint8_t>* out) {
    static const CostTables tables;
    BitWriter w;
    BeginStream(&w, out);
    MatchFinder mf;
    InitMatchFinder(&mf, data, size, kMaxChain);
    Match matches[kMaxCopy];
    std::vector<Step> steps(kChunk + kMaxCopy + 1);
    std::vector<Token> tokens;

    size_t start = 0;
    while (start < size) {
        const size_t end = size - start < kChunk ? size - start : kChunk;
        for (size_t i = 0; i <= end + kMaxCopy && i < steps.size(); ++i)
            steps[i].cost = kUnreached;
        steps[0].cost = 0;
        size_t next = start + end; // where the next chunk begins
        size_t i = 0;
        for (; i < end; ++i) {
            const size_t pos = start + i;
            const size_t limit = size - pos < kMaxCopy ? size - pos : kMaxCopy;
            const size_t found = FindMatches(&mf, pos, limit, matches);
            const size_t pair = NearestPair(&mf, pos);
            InsertPosition(&mf, pos);
            const uint32_t here = steps[i].cost;
            if (found && matches[found - 1].length >= kNiceLength) {
                // Close the chunk here and take the copy whole.
                const Match m = matches[found - 1];
                TraceBack(steps, i, &tokens);
                tokens.push_back(Token{(uint16_t)m.length, (uint16_t)m.distance});
                for (size_t k = 1; k < m.length; ++k)
                    InsertPosition(&mf, pos + k);
                next = pos + m.length;
                break;
            }
            Relax(steps, i + 1, here + LiteralBits(), 1, 0);
            if (pair && limit >= 2)
                Relax(steps, i + 2, here + CopyBits(pair, 2), 2, pair);
            size_t shorter = kMinLongCopy - 1;
            for (size_t k = 0; k < found; ++k) {
                const uint32_t base = here + LongCopyBaseBits(matches[k].distance);
                for (size_t len = shorter + 1; len <= matches[k].length; ++len)
                    Relax(steps, i + len, base + tables.lengthBits[len], len, matches[k].distance);
                shorter = matches[k].length;
            }
        }
        if (i == end) {
            // Copies that reach past the chunk's end are dropped; the path must end on it.
            TraceBack(steps, end, &tokens);
        }
        Emit(&w, data, start, tokens);
        start = next;
    }
    EndStream(&w);
}
