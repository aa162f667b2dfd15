// A quick greedy parse: at each position take the longest copy that a short chain walk finds,
// else a two-byte short copy when one is near enough, else a literal.
#include "payload/bit_writer.h"
#include "payload/compress.h"
#include "payload/match_finder.h"

namespace {

const unsigned kMaxChain = 48;

} // namespace

void CompressGreedy(const uint8_t* data, size_t size, std::vector<uint8_t>* out) {
    BitWriter w;
    BeginStream(&w, out);
    MatchFinder mf;
    InitMatchFinder(&mf, data, size, kMaxChain);
    Match matches[kMaxCopy];

    size_t pos = 0;
    while (pos < size) {
        const size_t limit = size - pos < kMaxCopy ? size - pos : kMaxCopy;
        const size_t found = FindMatches(&mf, pos, limit, matches);
        size_t len = 1, dist = 0;
        if (found) {
            len = matches[found - 1].length;
            dist = matches[found - 1].distance;
        } else if ((dist = NearestPair(&mf, pos)) != 0) {
            len = 2;
        }
        if (len >= 2)
            PutCopy(&w, dist, len);
        else
            PutLiteral(&w, data[pos]);
        for (size_t i = 0; i < len; ++i)
            InsertPosition(&mf, pos + i);
        pos += len;
    }
    EndStream(&w);
}

void CompressBlock(const uint8_t* data, size_t size, CompressLevel level,
                   std::vector<uint8_t>* out) {
    if (level == kCompressBest)
        CompressOptimal(data, size, out);
    else
        CompressGreedy(data, size, out);
}
