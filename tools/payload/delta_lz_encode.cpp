#include "payload/delta_lz_encode.h"

#include <math.h>
#include <string.h>

#include <algorithm>

#include "archive/delta_format.h"
#include "payload/delta_encode.h"
#include "payload/match_finder.h"

namespace {

// Prices are in sixteenths of a bit.
const uint32_t kBit = 16;
const int32_t kInfinite = 0x7FFFFFFF;

// Copies at least this long are taken at once, without weighing the positions they cover.
const uint32_t kNiceLength = 64;
// Longest copy looked for; longer ones are continued by the next sequence (a rep0 copy).
const uint32_t kMaxMatch = 1u << 16;
// Hash-chain candidates looked at per position: few for the parse that only gathers statistics,
// more for the one that is kept.
const unsigned kSurveyDepth = 4;
const size_t kSurveySize = 1u << 20;
const unsigned kChainDepth = 16;
// Modeled streams search their history deeper: each is small beside it, and a copy from an
// earlier window's stream is what the history is for.
const unsigned kHistoryDepth = 64;
// Three-byte copies are worth their offset only when it is short.
const uint32_t kMaxDistance3 = 1u << 16;
// The parse weighs this many positions at a time.
const size_t kSegment = 1u << 17;

const unsigned kHashBits = 20;
const unsigned kHash3Bits = 16;

inline uint32_t Load32(const uint8_t* p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}

// Code and extra bits of a length (literal run, or copy length less kLzMinMatch).
inline unsigned LengthCode(uint32_t v, unsigned* bits, uint32_t* extra) {
    if (v < kLzDirectLengths) {
        *bits = 0;
        *extra = 0;
        return v;
    }
    const unsigned n = 31u - (unsigned)__builtin_clz(v);
    *bits = n;
    *extra = v - (1u << n);
    return n + 12;
}

// Code and extra bits of a new distance (1 or more).
inline unsigned OffsetCode(uint32_t distance, unsigned* bits, uint32_t* extra) {
    const uint32_t d = distance - 1;
    if (d < 4) {
        *bits = 0;
        *extra = 0;
        return kLzRepCount + d;
    }
    const unsigned n = 31u - (unsigned)__builtin_clz(d);
    const unsigned slot = 2 * n + ((d >> (n - 1)) & 1);
    *bits = n - 1;
    *extra = d - ((2u + (slot & 1)) << (n - 1));
    return kLzRepCount + slot;
}

struct Sequence {
    uint32_t literals;
    uint32_t length;
    uint32_t distance;
    uint32_t rep; // 0 to 2: the rep code used; 3: a new distance
};

// What a symbol costs, from counts of what an earlier parse chose (or a guess before that).
struct Prices {
    uint32_t literal[256];
    uint32_t literalLength[kLzMaxLengthCode + 1];
    uint32_t matchLength[kLzMaxLengthCode + 1];
    uint32_t offset[kLzMaxOffsetCode + 1];
};

void PricesFromCounts(const uint64_t* counts, size_t n, uint32_t* prices) {
    uint64_t total = 0;
    for (size_t i = 0; i < n; ++i)
        total += counts[i];
    for (size_t i = 0; i < n; ++i) {
        // A symbol not seen yet is priced as if seen half a time.
        const double c = counts[i] ? (double)counts[i] : 0.5;
        const double bits = log2(((double)total + 1) / c);
        prices[i] = (uint32_t)(bits * kBit) + kBit / 4;
    }
}

struct Counts {
    uint64_t literal[256] = {0};
    uint64_t literalLength[kLzMaxLengthCode + 1] = {0};
    uint64_t matchLength[kLzMaxLengthCode + 1] = {0};
    uint64_t offset[kLzMaxOffsetCode + 1] = {0};
};

void SetPrices(const Counts& c, Prices* p) {
    PricesFromCounts(c.literal, 256, p->literal);
    PricesFromCounts(c.literalLength, kLzMaxLengthCode + 1, p->literalLength);
    PricesFromCounts(c.matchLength, kLzMaxLengthCode + 1, p->matchLength);
    PricesFromCounts(c.offset, kLzMaxOffsetCode + 1, p->offset);
}

// The first parse's guess: literals as the data's own byte counts, short lengths and near
// distances likelier than long and far ones.
void GuessPrices(const uint8_t* data, size_t size, Prices* p) {
    Counts c;
    for (size_t i = 0; i < size; ++i)
        ++c.literal[data[i]];
    for (unsigned k = 0; k <= kLzMaxLengthCode; ++k) {
        c.literalLength[k] = 1u << (k < 16 ? 16 - k : 0);
        c.matchLength[k] = 1u << (k < 16 ? 16 - k : 0);
    }
    for (unsigned k = 0; k <= kLzMaxOffsetCode; ++k)
        c.offset[k] = k < kLzRepCount ? 4096 : 64;
    SetPrices(c, p);
}

inline uint32_t LengthPrice(const uint32_t* codePrices, uint32_t v) {
    unsigned bits;
    uint32_t extra;
    const unsigned code = LengthCode(v, &bits, &extra);
    return codePrices[code] + bits * kBit;
}

inline uint32_t OffsetPrice(const Prices& p, uint32_t distance) {
    unsigned bits;
    uint32_t extra;
    const unsigned code = OffsetCode(distance, &bits, &extra);
    return p.offset[code] + bits * kBit;
}

struct Candidate {
    uint32_t length;
    uint32_t distance;
};

// Hash chains over the whole stream: every earlier position is a possible source, down to
// floor (the modeled method's history reaches only so far back).
struct Finder {
    const uint8_t* data;
    size_t size;
    size_t floor = 0;
    size_t next = 0; // positions before this are in the chains
    std::vector<int32_t> head;
    std::vector<int32_t> head3;
    std::vector<int32_t> prev;
    unsigned depth;
    unsigned hashBits;
    unsigned hash3Bits;

    // The tables grow with the data they index (n bytes, or the most a history holds), so that
    // the many small streams of a large delta cost little each.
    Finder(const uint8_t* d, size_t n, unsigned chainDepth, size_t indexed)
        : data(d), size(n), prev(n, -1), depth(chainDepth) {
        hashBits = 10;
        while (hashBits < kHashBits && ((size_t)1 << hashBits) < indexed)
            ++hashBits;
        hash3Bits = std::min(hashBits, kHash3Bits);
        head.assign((size_t)1 << hashBits, -1);
        head3.assign((size_t)1 << hash3Bits, -1);
    }

    uint32_t Hash4(const uint8_t* p) const { return (Load32(p) * 2654435761u) >> (32 - hashBits); }
    uint32_t Hash3(const uint8_t* p) const {
        return ((Load32(p) << 8) * 2654435761u) >> (32 - hash3Bits);
    }

    void Insert(size_t pos) {
        if (pos < next || pos + 4 > size)
            return;
        const uint32_t h = Hash4(data + pos);
        prev[pos] = head[h];
        head[h] = (int32_t)pos;
        head3[Hash3(data + pos)] = (int32_t)pos;
        next = pos + 1;
    }

    // Copies for pos, each longer than the one before, nearest first for each length; pos is
    // inserted afterwards.
    size_t Find(size_t pos, uint32_t maxLength, Candidate* out) {
        size_t count = 0;
        if (pos + 4 > size || maxLength < 3) {
            Insert(pos);
            return 0;
        }
        uint32_t best = 2;
        const uint8_t* cur = data + pos;
        // The next position's chain head is a cache miss away: start fetching it now.
        if (pos + 5 <= size)
            __builtin_prefetch(&head[Hash4(cur + 1)]);
        const int32_t near3 = head3[Hash3(cur)];
        if (near3 >= (int32_t)floor && pos - (size_t)near3 <= kMaxDistance3) {
            const uint32_t len = (uint32_t)CommonLength(cur, data + near3, maxLength);
            if (len >= 3) {
                out[count++] = {len, (uint32_t)(pos - (size_t)near3)};
                best = len;
            }
        }
        int32_t at = head[Hash4(cur)];
        for (unsigned steps = 0; at >= (int32_t)floor && steps < depth && best < maxLength;
             ++steps) {
            const uint8_t* from = data + at;
            if (from[best] == cur[best]) {
                const uint32_t len = (uint32_t)CommonLength(cur, from, maxLength);
                if (len > best) {
                    best = len;
                    out[count++] = {len, (uint32_t)(pos - (size_t)at)};
                }
            }
            at = prev[at];
        }
        Insert(pos);
        return count;
    }
};

// One position of the parse: the cheapest way found to reach it. Its price includes the code of
// the literal run that ends there as if a copy followed, so that a position reached by literals
// and one reached by a copy compare fairly.
struct Node {
    int32_t price;
    uint32_t length; // of the step that reached it: 0 for a literal
    uint32_t distance;
    uint32_t rep;
    uint32_t literals; // literal run ending here
    uint32_t reps[kLzRepCount];
};

// Parses finder's data from `from` to its size into sequences, weighing every literal and copy
// by the prices given; copies reach back to finder.floor.
void Parse(Finder& finder, size_t from, const Prices& prices, std::vector<Sequence>* out) {
    const uint8_t* const data = finder.data;
    const size_t size = finder.size;
    const unsigned depth = finder.depth;
    // The lengths the parse weighs most often, priced once: copies up to kNiceLength, and how a
    // literal run's price grows by one literal for runs shorter than kRunPrices.
    const uint32_t kRunPrices = 1024;
    int32_t copyPrice[kNiceLength + 1], runStep[kRunPrices];
    for (uint32_t len = kLzMinMatch; len <= kNiceLength; ++len)
        copyPrice[len] = (int32_t)LengthPrice(prices.matchLength, len - kLzMinMatch);
    for (uint32_t r = 0; r < kRunPrices; ++r)
        runStep[r] = (int32_t)LengthPrice(prices.literalLength, r + 1) -
                     (int32_t)LengthPrice(prices.literalLength, r);
    std::vector<Node> nodes(std::min(kSegment, size - from) + 1);
    std::vector<Candidate> candidates(depth + 2);
    uint32_t reps[kLzRepCount] = {1, 2, 3};
    uint32_t run = 0;
    size_t start = from;
    std::vector<Sequence> steps;
    while (start < size) {
        size_t end = std::min(size, start + kSegment);
        nodes[0].price = (int32_t)LengthPrice(prices.literalLength, run);
        nodes[0].literals = run;
        memcpy(nodes[0].reps, reps, sizeof reps);
        // Nodes are cleared as the parse first reaches them, not all up front: a long copy can
        // end a segment after a few bytes.
        size_t frontier = 0;
        auto reach = [&](size_t k) {
            while (frontier < k)
                nodes[++frontier].price = kInfinite;
        };
        for (size_t i = 0; start + i < end; ++i) {
            const size_t pos = start + i;
            const Node node = nodes[i];
            const int32_t literalPrice =
                node.price + (int32_t)prices.literal[data[pos]] +
                (node.literals < kRunPrices
                     ? runStep[node.literals]
                     : (int32_t)LengthPrice(prices.literalLength, node.literals + 1) -
                           (int32_t)LengthPrice(prices.literalLength, node.literals));
            reach(i + 1);
            if (literalPrice < nodes[i + 1].price) {
                Node& next = nodes[i + 1];
                next.price = literalPrice;
                next.length = 0;
                next.literals = node.literals + 1;
                memcpy(next.reps, node.reps, sizeof node.reps);
            }
            const uint32_t maxLength = (uint32_t)std::min<size_t>(end - pos, kMaxMatch);
            // The run that follows a copy starts out empty.
            const int32_t base = node.price + (int32_t)LengthPrice(prices.literalLength, 0);
            uint32_t longest = 0, longestDistance = 0, longestRep = 0;
            auto offer = [&](uint32_t from, uint32_t to, uint32_t distance, uint32_t rep,
                             uint32_t offsetPrice) {
                reach(i + to);
                for (uint32_t len = from; len <= to; ++len) {
                    const int32_t price =
                        base + (int32_t)offsetPrice +
                        (len <= kNiceLength
                             ? copyPrice[len]
                             : (int32_t)LengthPrice(prices.matchLength, len - kLzMinMatch));
                    Node& next = nodes[i + len];
                    if (price < next.price) {
                        next.price = price;
                        next.length = len;
                        next.distance = distance;
                        next.rep = rep;
                        next.literals = 0;
                        if (rep == 0) {
                            memcpy(next.reps, node.reps, sizeof node.reps);
                        } else {
                            const uint32_t last = rep < kLzRepCount ? rep : kLzRepCount - 1;
                            for (uint32_t k = 0; k < kLzRepCount; ++k)
                                next.reps[k] = node.reps[k];
                            for (uint32_t k = last; k > 0; --k)
                                next.reps[k] = next.reps[k - 1];
                            next.reps[0] = distance;
                        }
                    }
                }
            };
            for (uint32_t r = 0; r < kLzRepCount; ++r) {
                const uint32_t d = node.reps[r];
                if (d > pos - finder.floor)
                    continue;
                const uint32_t len = (uint32_t)CommonLength(data + pos, data + pos - d, maxLength);
                if (len < kLzMinMatch)
                    continue;
                offer(kLzMinMatch, std::min(len, kNiceLength), d, r, prices.offset[r]);
                if (len > longest) {
                    longest = len;
                    longestDistance = d;
                    longestRep = r;
                }
            }
            const size_t found = finder.Find(pos, maxLength, candidates.data());
            uint32_t shorter = 2;
            for (size_t c = 0; c < found; ++c) {
                const Candidate& m = candidates[c];
                const bool isRep = m.distance == node.reps[0] || m.distance == node.reps[1] ||
                                   m.distance == node.reps[2];
                if (!isRep)
                    offer(shorter + 1, std::min(m.length, kNiceLength), m.distance, kLzRepCount,
                          OffsetPrice(prices, m.distance));
                shorter = m.length;
                if (m.length > longest && !isRep) {
                    longest = m.length;
                    longestDistance = m.distance;
                    longestRep = kLzRepCount;
                }
            }
            if (longest > kNiceLength) {
                // A long copy is taken as it is: the segment ends where it ends.
                reach(i + longest);
                nodes[i + longest].price = kInfinite;
                offer(longest, longest, longestDistance, longestRep,
                      longestRep < kLzRepCount ? prices.offset[longestRep]
                                               : OffsetPrice(prices, longestDistance));
                for (size_t k = 1; k < longest; ++k)
                    finder.Insert(pos + k);
                end = pos + longest;
                break;
            }
        }
        // Walk back from the segment's end and emit its steps in order.
        steps.clear();
        for (size_t i = end - start; i > 0;) {
            const Node& n = nodes[i];
            steps.push_back({0, n.length, n.distance, n.rep});
            i -= n.length ? n.length : 1;
        }
        for (size_t k = steps.size(); k-- > 0;) {
            const Sequence& s = steps[k];
            if (s.length == 0) {
                ++run;
                continue;
            }
            out->push_back({run, s.length, s.distance, s.rep});
            run = 0;
            if (s.rep != 0) {
                const uint32_t last = s.rep < kLzRepCount ? s.rep : kLzRepCount - 1;
                for (uint32_t r = last; r > 0; --r)
                    reps[r] = reps[r - 1];
                reps[0] = s.distance;
            }
        }
        start = end;
    }
    // The literals after the last copy: a sequence of length 0 marks them for the writer.
    if (run)
        out->push_back({run, 0, 0, 0});
}

void CountSequences(const uint8_t* data, const std::vector<Sequence>& seqs, Counts* c);

// Prices for a stream's parse: a quicker parse over its start, priced by a guess, then counted.
void Survey(const uint8_t* data, size_t size, Prices* prices) {
    GuessPrices(data, size, prices);
    std::vector<Sequence> seqs;
    const size_t n = std::min(size, kSurveySize);
    Finder finder(data, n, kSurveyDepth, n);
    Parse(finder, 0, *prices, &seqs);
    Counts counts;
    CountSequences(data, seqs, &counts);
    SetPrices(counts, prices);
}

void CountSequences(const uint8_t* data, const std::vector<Sequence>& seqs, Counts* c) {
    size_t pos = 0;
    for (const Sequence& s : seqs) {
        for (uint32_t k = 0; k < s.literals; ++k)
            ++c->literal[data[pos + k]];
        pos += s.literals + s.length;
        if (s.length == 0)
            continue;
        unsigned bits;
        uint32_t extra;
        ++c->literalLength[LengthCode(s.literals, &bits, &extra)];
        ++c->matchLength[LengthCode(s.length - kLzMinMatch, &bits, &extra)];
        ++c->offset[s.rep < kLzRepCount ? s.rep : OffsetCode(s.distance, &bits, &extra)];
    }
}

struct BitWriter {
    std::vector<uint8_t> bytes;
    uint64_t buffer = 0;
    unsigned count = 0;
    void Put(uint32_t value, unsigned bits) {
        buffer |= (uint64_t)value << count;
        count += bits;
        while (count >= 8) {
            bytes.push_back((uint8_t)buffer);
            buffer >>= 8;
            count -= 8;
        }
    }
    void Finish() {
        if (count)
            bytes.push_back((uint8_t)buffer);
        buffer = 0;
        count = 0;
    }
};

void PutVarint(std::vector<uint8_t>* out, uint64_t v) {
    while (v >= 0x80) {
        out->push_back((uint8_t)(v | 0x80));
        v >>= 7;
    }
    out->push_back((uint8_t)v);
}

} // namespace

void EncodeLzStream(const uint8_t* data, size_t size, std::vector<uint8_t>* out,
                    size_t* partsSize) {
    // Two parses: the second is priced by what the first, a quicker one over the stream's
    // start, chose.
    Prices prices;
    std::vector<Sequence> seqs;
    Survey(data, size, &prices);
    Finder finder(data, size, kChainDepth, size);
    Parse(finder, 0, prices, &seqs);

    std::vector<uint8_t> parts[kLzPartCount];
    BitWriter extra;
    size_t pos = 0;
    for (const Sequence& s : seqs) {
        parts[kLzPartLiterals].insert(parts[kLzPartLiterals].end(), data + pos,
                                      data + pos + s.literals);
        pos += s.literals + s.length;
        if (s.length == 0)
            continue;
        unsigned bits;
        uint32_t value;
        parts[kLzPartLiteralLengths].push_back((uint8_t)LengthCode(s.literals, &bits, &value));
        extra.Put(value, bits);
        parts[kLzPartMatchLengths].push_back(
            (uint8_t)LengthCode(s.length - kLzMinMatch, &bits, &value));
        extra.Put(value, bits);
        if (s.rep < kLzRepCount) {
            parts[kLzPartOffsets].push_back((uint8_t)s.rep);
        } else {
            parts[kLzPartOffsets].push_back((uint8_t)OffsetCode(s.distance, &bits, &value));
            extra.Put(value, bits);
        }
    }
    extra.Finish();
    parts[kLzPartExtra].swap(extra.bytes);

    std::vector<uint8_t> body;
    *partsSize = 0;
    for (uint32_t k = 0; k < kLzPartCount; ++k) {
        const std::vector<uint8_t>& part = parts[k];
        std::vector<uint8_t> entropy;
        // The extra bits are close to random; the rest is worth a table when long enough.
        if (k != kLzPartExtra && part.size() > 64)
            EncodeEntropyStream(part.data(), part.size(), &entropy);
        const bool coded = !entropy.empty() && entropy.size() < part.size();
        out->push_back(coded ? kStreamEntropy : kStreamStored);
        PutVarint(out, part.size());
        PutVarint(out, coded ? entropy.size() : part.size());
        const std::vector<uint8_t>& stored = coded ? entropy : part;
        body.insert(body.end(), stored.begin(), stored.end());
        *partsSize += part.size();
    }
    out->insert(out->end(), body.begin(), body.end());
}

namespace {

// The arithmetic coder's writing side (archive/delta_model.h has the reading side).
struct BitEncoder {
    std::vector<uint8_t>* out;
    uint32_t low = 0;
    uint32_t high = 0xFFFFFFFFu;

    void Decide(unsigned bit, uint32_t probability) {
        const uint32_t mid = low + (uint32_t)(((uint64_t)(high - low) * probability) >> 16);
        if (bit)
            high = mid;
        else
            low = mid + 1;
        while (((low ^ high) & 0xFF000000u) == 0) {
            out->push_back((uint8_t)(high >> 24));
            low <<= 8;
            high = high << 8 | 0xFF;
        }
    }
    void Bit(ModelBit* m, unsigned bit, uint32_t limit) {
        Decide(bit, m->p);
        ModelUpdate(m, bit, limit);
    }
    void Direct(uint32_t value, unsigned bits) {
        for (unsigned k = bits; k-- > 0;)
            Decide(value >> k & 1, 32768);
    }
    void Tree(ModelBit* t, uint32_t value, unsigned bits, uint32_t limit) {
        uint32_t node = 1;
        for (unsigned k = bits; k-- > 0;) {
            const unsigned b = value >> k & 1;
            Bit(&t[node], b, limit);
            node = node << 1 | b;
        }
    }
    void Finish() {
        for (int k = 0; k < 4; ++k) {
            out->push_back((uint8_t)(low >> 24));
            low <<= 8;
        }
    }
};

void PutModelLength(BitEncoder* e, ModelBit* tree, uint32_t v, unsigned* code) {
    unsigned bits;
    uint32_t extra;
    *code = LengthCode(v, &bits, &extra);
    e->Tree(tree, *code, kModelCodeBits, kModelCodeLimit);
    e->Direct(extra, bits);
}

} // namespace

struct ModeledStreamEncoder::State {
    StreamModels models;
    StreamModels saved;
    // The history (its last kDeltaModelHistory bytes at least) and then the stream being coded;
    // the chains cover all of it.
    std::vector<uint8_t> bytes;
    Finder finder{nullptr, 0, kHistoryDepth, 2 * (size_t)kDeltaModelHistory};
};

ModeledStreamEncoder::ModeledStreamEncoder() : state_(new State) {
    ModelStateReset(&state_->models);
}

ModeledStreamEncoder::~ModeledStreamEncoder() {
    delete state_;
}

void ModeledStreamEncoder::Encode(const uint8_t* data, size_t size, std::vector<uint8_t>* out) {
    Trim();
    State& s = *state_;
    s.saved = s.models;
    const size_t from = s.bytes.size();
    s.bytes.insert(s.bytes.end(), data, data + size);
    Finder& f = s.finder;
    f.data = s.bytes.data();
    f.size = s.bytes.size();
    f.prev.resize(s.bytes.size(), -1);
    f.floor = from - std::min<size_t>(from, kDeltaModelHistory);
    // The last bytes of the history could not start a copy before this stream followed them.
    for (size_t p = f.next; p < from; ++p)
        f.Insert(p);

    Prices prices;
    Survey(data, size, &prices);
    std::vector<Sequence> seqs;
    Parse(f, from, prices, &seqs);

    BitEncoder e;
    e.out = out;
    StreamModels& m = s.models;
    const uint8_t* const all = s.bytes.data();
    size_t pos = from;
    for (const Sequence& q : seqs) {
        unsigned code;
        PutModelLength(&e, m.literalLength, q.literals, &code);
        for (uint32_t k = 0; k < q.literals; ++k, ++pos) {
            const uint8_t before1 = pos >= 1 ? all[pos - 1] : 0;
            const uint8_t before2 = pos >= 2 ? all[pos - 2] : 0;
            const unsigned slot2 = ModelOrder2Slot(before2, before1);
            unsigned node = 1;
            for (unsigned bit = 0; bit < 8; ++bit) {
                const unsigned value = all[pos] >> (7 - bit) & 1;
                LiteralMix mix;
                e.Decide(value, LiteralPredict(&m, before1, slot2, node, bit, &mix));
                LiteralUpdate(&mix, value);
                node = node << 1 | value;
            }
        }
        if (q.length == 0)
            break;
        PutModelLength(&e, m.matchLength, q.length - kLzMinMatch, &code);
        const unsigned context = code < kModelOffsetContexts ? code : kModelOffsetContexts - 1;
        if (q.rep < kLzRepCount) {
            e.Tree(m.offset[context], q.rep, kModelCodeBits, kModelCodeLimit);
        } else {
            unsigned bits;
            uint32_t extra;
            const unsigned offset = OffsetCode(q.distance, &bits, &extra);
            e.Tree(m.offset[context], offset, kModelCodeBits, kModelCodeLimit);
            e.Direct(extra, bits);
        }
        pos += q.length;
    }
    e.Finish();
}

void ModeledStreamEncoder::Discard() {
    state_->models = state_->saved;
}

void ModeledStreamEncoder::Append(const uint8_t* data, size_t size) {
    Trim();
    state_->bytes.insert(state_->bytes.end(), data, data + size);
}

void ModeledStreamEncoder::Trim() {
    State& s = *state_;
    // Only the last kDeltaModelHistory bytes can still be reached; the rest goes once it is as
    // long again, and the chains are built anew over what stays as the next stream needs them.
    if (s.bytes.size() <= 2 * (size_t)kDeltaModelHistory)
        return;
    s.bytes.erase(s.bytes.begin(), s.bytes.end() - kDeltaModelHistory);
    std::fill(s.finder.head.begin(), s.finder.head.end(), -1);
    std::fill(s.finder.head3.begin(), s.finder.head3.end(), -1);
    s.finder.next = 0;
}
