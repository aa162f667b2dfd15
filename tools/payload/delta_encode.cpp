#include "payload/delta_encode.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>
#include <thread>

#include "archive/delta_apply.h"
#include "archive/delta_format.h"
#include "payload/compress.h"
#include "payload/delta_lz_encode.h"
#include "payload/match_finder.h"

#if UPDATER_HAVE_DIVSUFSORT
#include <divsufsort.h>
#else
#include "payload/suffix_sort.h"
#endif

namespace {

void PutVarint(std::vector<uint8_t>* out, uint64_t v) {
    while (v >= 0x80) {
        out->push_back((uint8_t)(v | 0x80));
        v >>= 7;
    }
    out->push_back((uint8_t)v);
}

// Scales counts to frequencies that add up to kEntropyTotal, every present value keeping at
// least 1.
void NormaliseCounts(const uint64_t* counts, uint64_t total, uint32_t* freq) {
    int64_t sum = 0;
    for (unsigned v = 0; v < 256; ++v) {
        freq[v] = 0;
        if (!counts[v])
            continue;
        uint64_t f = (counts[v] * kEntropyTotal + total / 2) / total;
        freq[v] = f ? (uint32_t)f : 1;
        sum += freq[v];
    }
    // Rounding leaves the sum a little off; the largest frequencies absorb the difference,
    // where a unit changes the cost least.
    while (sum != (int64_t)kEntropyTotal) {
        unsigned best = 256;
        for (unsigned v = 0; v < 256; ++v)
            if (freq[v] > (sum > (int64_t)kEntropyTotal ? 1u : 0u) &&
                (best == 256 || freq[v] > freq[best]))
                best = v;
        if (sum > (int64_t)kEntropyTotal) {
            const int64_t take = std::min<int64_t>(sum - kEntropyTotal, freq[best] - 1);
            freq[best] -= (uint32_t)take;
            sum -= take;
        } else {
            freq[best] += (uint32_t)(kEntropyTotal - sum);
            sum = kEntropyTotal;
        }
    }
}

// One block: its table, the initial states and the words, in the order the applier reads.
void EncodeEntropyBlock(const uint8_t* data, size_t size, std::vector<uint8_t>* out) {
    uint64_t counts[256] = {0};
    for (size_t i = 0; i < size; ++i)
        ++counts[data[i]];
    uint32_t freq[256], start[256];
    NormaliseCounts(counts, size, freq);
    uint8_t bitmap[kEntropyBitmapSize] = {0};
    uint32_t cum = 0;
    for (unsigned v = 0; v < 256; ++v) {
        start[v] = cum;
        cum += freq[v];
        if (freq[v])
            bitmap[v / 8] |= (uint8_t)(1u << (v % 8));
    }
    out->insert(out->end(), bitmap, bitmap + kEntropyBitmapSize);
    for (unsigned v = 0; v < 256; ++v)
        if (freq[v])
            PutVarint(out, freq[v]);

    // The states walk the data backwards so that the applier reads it forwards; symbol i
    // belongs to state i % kEntropyStates.
    std::vector<uint16_t> words;
    words.reserve(size / 2 + 16);
    uint32_t x[kEntropyStates];
    for (uint32_t k = 0; k < kEntropyStates; ++k)
        x[k] = kEntropyLow;
    for (size_t i = size; i-- > 0;) {
        uint32_t& state = x[i % kEntropyStates];
        const uint32_t f = freq[data[i]];
        // Below this bound the coded state stays under 2^32.
        const uint64_t limit = (uint64_t)f << (32 - kEntropyScaleBits);
        if (state >= limit) {
            words.push_back((uint16_t)state);
            state >>= 16;
        }
        state = ((state / f) << kEntropyScaleBits) + state % f + start[data[i]];
    }
    for (uint32_t k = 0; k < kEntropyStates; ++k) {
        uint8_t state[4];
        DeltaStore32(state, x[k]);
        out->insert(out->end(), state, state + 4);
    }
    for (size_t k = words.size(); k-- > 0;) {
        out->push_back((uint8_t)words[k]);
        out->push_back((uint8_t)(words[k] >> 8));
    }
}

} // namespace

void EncodeEntropyStream(const uint8_t* data, size_t size, std::vector<uint8_t>* out) {
    // Smaller blocks follow changing statistics but pay for more tables: the smallest of a few
    // sizes wins.
    std::vector<uint8_t> best, trial;
    for (size_t blockSymbols :
         {(size_t)1 << 24, (size_t)1 << 18, (size_t)1 << 16, (size_t)1 << 14}) {
        if (blockSymbols < size || best.empty()) {
            trial.clear();
            PutVarint(&trial, blockSymbols);
            for (size_t at = 0; at < size; at += blockSymbols)
                EncodeEntropyBlock(data + at, std::min(blockSymbols, size - at), &trial);
            if (best.empty() || trial.size() < best.size())
                best.swap(trial);
        }
    }
    out->insert(out->end(), best.begin(), best.end());
}

namespace {

// The five streams of the window being built, and what it has made so far.
struct Window {
    std::vector<uint8_t> streams[kDeltaStreamCount];
    uint64_t basePos = 0;    // where the window starts reading the base
    uint64_t basePosEnd = 0; // and where its ops leave it
    uint32_t outputSize = 0; // bytes of the result it makes
};

struct Writer {
    std::vector<uint8_t>* out;
    uint64_t basePos = 0; // the applier's base position after the ops so far
    Window window;
    std::vector<Window> done; // closed and waiting to be packed
    size_t doneBytes = 0;     // their streams' bytes
    uint64_t windowCount = 0; // packed and written so far
    // Each kind of stream's modeled coder, when the delta may hold modeled streams.
    std::unique_ptr<ModeledStreamEncoder> modeled[kDeltaStreamCount];
    uint64_t flags = 0;         // the header's
    uint64_t headerBasePos = 0; // where the last window written left the base
};

size_t StreamBytes(const Window& w) {
    size_t total = 0;
    for (const auto& s : w.streams)
        total += s.size();
    return total;
}

const size_t kBlockTrialLimit = 64 * 1024;

// One stream as the window stores it.
struct PackedStream {
    uint8_t method = kStreamStored;
    std::vector<uint8_t> bytes;
};

// Picks the smallest of the ways to store one stream on its own; an lz stream only when its
// parts fit in partsRoom beside the window's streams.
void PackStream(const std::vector<uint8_t>& data, size_t partsRoom, PackedStream* out) {
    const std::vector<uint8_t>* best = &data;
    uint8_t method = kStreamStored;
    std::vector<uint8_t> entropy, block, lz;
    if (data.size() > 64) {
        size_t partsSize = 0;
        EncodeLzStream(data.data(), data.size(), &lz, &partsSize);
        if (partsSize <= partsRoom && lz.size() < best->size()) {
            best = &lz;
            method = kStreamLz;
        }
        EncodeEntropyStream(data.data(), data.size(), &entropy);
        if (entropy.size() < best->size()) {
            best = &entropy;
            method = kStreamEntropy;
        }
    }
    // A short stream can be too short to pay for the lz stream's tables, where the block
    // format's copies still save something; on long ones it never wins and costs time.
    if (data.size() > 64 && data.size() <= kBlockTrialLimit) {
        CompressOptimal(data.data(), data.size(), &block);
        if (block.size() < best->size()) {
            best = &block;
            method = kStreamBlock;
        }
    }
    out->method = method;
    out->bytes = *best;
}

void WriteWindows(Writer* wr);

// Closed windows wait for this many bytes of streams (or the end) and are then packed together,
// so that packing keeps every thread busy while their memory stays bounded.
const size_t kPackBatch = 64u << 20;

// Closes the current window.
void FlushWindow(Writer* wr) {
    Window& w = wr->window;
    if (w.outputSize == 0)
        return;
    w.basePosEnd = wr->basePos;
    // With compact headers a window that only copies the base needs no streams at all.
    if ((wr->flags & kDeltaFlagModeled) && w.streams[kDeltaStreamOps].size() == 1 &&
        (w.streams[kDeltaStreamOps][0] & 3) == kDeltaOpCopy &&
        StreamBytes(w) == 1 + w.streams[kDeltaStreamLengths].size()) {
        w.streams[kDeltaStreamOps].clear();
        w.streams[kDeltaStreamLengths].clear();
    }
    wr->doneBytes += StreamBytes(w);
    wr->done.push_back(std::move(w));
    w = Window();
    w.basePos = wr->basePos;
    if (wr->doneBytes >= kPackBatch)
        WriteWindows(wr);
}

// Runs work(0) to work(count - 1) on as many threads as the machine has.
void RunParallel(size_t count, const std::function<void(size_t)>& work) {
    std::atomic<size_t> next(0);
    auto loop = [&]() {
        for (size_t i; (i = next++) < count;)
            work(i);
    };
    const unsigned threads =
        (unsigned)std::min<size_t>(std::max(1u, std::thread::hardware_concurrency()), count);
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < threads; ++t)
        pool.emplace_back(loop);
    loop();
    for (auto& t : pool)
        t.join();
}

// Packs the closed windows' streams and appends the windows in order. Each kind of stream goes
// through its modeled coder, window after window since its state runs through the delta, and
// takes that form where it is smaller than the stream itself; without modeled streams each is
// packed the smallest way on its own, the windows on as many threads as the machine has.
void WriteWindows(Writer* wr) {
    const size_t count = wr->done.size();
    std::vector<PackedStream> packed(count * kDeltaStreamCount);
    // Where modeled streams may be used, the other coders are not tried: on every kind of
    // stream measured, a modeled stream came out smaller than each of them, or storing did.
    if (!wr->modeled[0])
        RunParallel(count, [&](size_t i) {
            const Window& w = wr->done[i];
            const size_t partsRoom = kDeltaMaxWindowStreams - StreamBytes(w);
            for (uint32_t s = 0; s < kDeltaStreamCount; ++s)
                PackStream(w.streams[s], partsRoom, &packed[i * kDeltaStreamCount + s]);
        });
    else
        RunParallel(kDeltaStreamCount, [&](size_t s) {
            ModeledStreamEncoder& coder = *wr->modeled[s];
            std::vector<uint8_t> trial;
            for (size_t i = 0; i < count; ++i) {
                const std::vector<uint8_t>& data = wr->done[i].streams[s];
                if (data.empty())
                    continue;
                PackedStream& best = packed[i * kDeltaStreamCount + s];
                trial.clear();
                coder.Encode(data.data(), data.size(), &trial);
                if (trial.size() < data.size()) {
                    best.method = kStreamModeled;
                    best.bytes.swap(trial);
                } else {
                    coder.Discard();
                    best.bytes = data;
                }
            }
        });
    const bool compact = (wr->flags & kDeltaFlagModeled) != 0;
    for (size_t i = 0; i < count; ++i) {
        const Window& w = wr->done[i];
        PutVarint(wr->out, w.outputSize);
        unsigned present = (1u << kDeltaStreamCount) - 1;
        if (compact) {
            PutVarint(wr->out, ZigzagEncode((int64_t)(w.basePos - wr->headerBasePos)));
            present = 0;
            for (uint32_t s = 0; s < kDeltaStreamCount; ++s)
                present |= (w.streams[s].empty() ? 0u : 1u) << s;
            wr->out->push_back((uint8_t)present);
        } else {
            PutVarint(wr->out, w.basePos);
        }
        wr->headerBasePos = w.basePosEnd;
        for (uint32_t s = 0; s < kDeltaStreamCount; ++s) {
            if (!(present >> s & 1))
                continue;
            const PackedStream& p = packed[i * kDeltaStreamCount + s];
            wr->out->push_back(p.method);
            PutVarint(wr->out, w.streams[s].size());
            PutVarint(wr->out, p.bytes.size());
        }
        for (uint32_t s = 0; s < kDeltaStreamCount; ++s) {
            const std::vector<uint8_t>& bytes = packed[i * kDeltaStreamCount + s].bytes;
            wr->out->insert(wr->out->end(), bytes.begin(), bytes.end());
        }
    }
    wr->windowCount += count;
    wr->done.clear();
    wr->doneBytes = 0;
}

// Room the current window has for output, after closing it when it is full.
size_t WindowRoom(Writer* wr) {
    // An op adds at most one op byte and one varint; a window closes well before its streams
    // could outgrow what the applier is promised.
    if (wr->window.outputSize == kDeltaMaxWindowOutput ||
        StreamBytes(wr->window) + 2 * kMaxVarintSize + 2 > kDeltaMaxWindowStreams - 64)
        FlushWindow(wr);
    return kDeltaMaxWindowOutput - wr->window.outputSize;
}

void PutOp(Window* w, uint32_t kind, uint64_t len) {
    if (len <= kDeltaOpLongCode) {
        w->streams[kDeltaStreamOps].push_back((uint8_t)(kind | (len - 1) << 2));
    } else {
        w->streams[kDeltaStreamOps].push_back((uint8_t)(kind | kDeltaOpLongCode << 2));
        PutVarint(&w->streams[kDeltaStreamLengths], len - kDeltaOpLongCode - 1);
    }
}

void EmitSeek(Writer* wr, uint64_t target) {
    if (target == wr->basePos)
        return;
    WindowRoom(wr);
    Window& w = wr->window;
    if (w.outputSize == 0) {
        // A fresh window states its base position itself.
        w.basePos = target;
        wr->basePos = target;
        return;
    }
    const uint64_t z = ZigzagEncode((int64_t)(target - wr->basePos));
    if (z < kDeltaOpLongCode) {
        w.streams[kDeltaStreamOps].push_back((uint8_t)(kDeltaOpSeek | z << 2));
    } else {
        w.streams[kDeltaStreamOps].push_back((uint8_t)(kDeltaOpSeek | kDeltaOpLongCode << 2));
        PutVarint(&w.streams[kDeltaStreamSeeks], z);
    }
    wr->basePos = target;
}

// COPY, ADD (with diff bytes) or INSERT (with literal bytes), split at window boundaries.
void EmitRun(Writer* wr, uint32_t kind, const uint8_t* bytes, uint64_t len) {
    while (len) {
        const size_t n = (size_t)std::min<uint64_t>(len, WindowRoom(wr));
        Window& w = wr->window;
        if (w.outputSize == 0)
            w.basePos = wr->basePos;
        PutOp(&w, kind, n);
        if (kind == kDeltaOpAdd)
            w.streams[kDeltaStreamDiff].insert(w.streams[kDeltaStreamDiff].end(), bytes, bytes + n);
        else if (kind == kDeltaOpInsert)
            w.streams[kDeltaStreamLiterals].insert(w.streams[kDeltaStreamLiterals].end(), bytes,
                                                   bytes + n);
        if (kind != kDeltaOpInsert)
            wr->basePos += n;
        if (bytes)
            bytes += n;
        w.outputSize += (uint32_t)n;
        len -= n;
    }
}

// Zero differences shorter than this stay inside an ADD. Measured on releases of real
// binaries, splitting at every run of two or more zeros gives the smallest deltas: the op stream
// is very regular and codes small, while zeros in the diff stream break its repeats up.
const size_t kMinCopyRun = 2;

// A matched span: data[0, len) against base[basePos, basePos + len).
void EmitMatch(Writer* wr, const uint8_t* base, uint64_t basePos, const uint8_t* data, size_t len,
               std::vector<uint8_t>* diff) {
    EmitSeek(wr, basePos);
    const uint8_t* from = base + basePos;
    diff->resize(len);
    for (size_t i = 0; i < len; ++i)
        (*diff)[i] = (uint8_t)(data[i] - from[i]);
    size_t i = 0;
    size_t addStart = 0;
    while (i < len) {
        if ((*diff)[i] != 0) {
            ++i;
            continue;
        }
        size_t j = i;
        while (j < len && (*diff)[j] == 0)
            ++j;
        if (j - i >= kMinCopyRun || (i == addStart && j == len)) {
            if (i > addStart)
                EmitRun(wr, kDeltaOpAdd, diff->data() + addStart, i - addStart);
            EmitRun(wr, kDeltaOpCopy, nullptr, j - i);
            addStart = j;
        }
        i = j;
    }
    if (len > addStart)
        EmitRun(wr, kDeltaOpAdd, diff->data() + addStart, len - addStart);
}

// Matches never compare further than this: long identical stretches are then taken in steps,
// and no search costs more than this many byte compares however repetitive the data.
const size_t kMaxCompare = 4096;

// A search that finds less than this is a miss; each 2^kMissShift misses in a row lengthen the
// scan's stride by one byte, and every kQuietSteps positions that the filter turns away take
// one miss off again.
const size_t kMissLength = 10;
const unsigned kMissShift = 7;
const size_t kQuietSteps = 8;

// A match at the last one's alignment starts afresh when the alignment's agreement has fallen
// this far below its best since the last match.
const int64_t kAlignmentDip = 16;
const size_t kRestartLength = 10;

// The filter in front of the searches: a bit per hash of the kFilterLength bytes at each base
// position, about kFilterBitsPerByte bits for each base byte.
const size_t kFilterLength = 8;
const size_t kFilterBitsPerByte = 8;
const size_t kFilterAhead = 16;

inline uint64_t FilterHash(const uint8_t* p, unsigned shift) {
    uint64_t v;
    memcpy(&v, p, 8);
    return (v * 0x9E3779B97F4A7C15ull) >> shift;
}

struct SuffixFinder;
size_t FindMatch(const SuffixFinder& f, const uint8_t* data, size_t size, size_t* pos);
int MayMatch(const SuffixFinder& f, const uint8_t* data, size_t size);

// The whole base's suffix array: the longest match from any position, however short.
struct SuffixFinder {
    const uint8_t* base;
    size_t baseSize;
    std::vector<int32_t> sa;
    std::vector<uint32_t> bucket; // first suffix-array index of each two-byte prefix
    std::vector<uint64_t> filter; // clear bit: no base position starts with bytes of that hash
    unsigned filterShift;
    size_t hashLength = kFilterLength;
    mutable size_t farReads = 0; // not counted: its bases are small

    // A search here is a binary search, so after many misses the scan may stride; it finds
    // the longest match, which may leave the last one's alignment.
    static const bool kStrides = true;
    static const bool kAlignmentFirst = false;
    void Prefetch(const uint8_t* p) const {
        const uint64_t h = FilterHash(p, filterShift);
        __builtin_prefetch(&filter[h >> 6]);
    }
    bool May(const uint8_t* p, size_t n) const { return MayMatch(*this, p, n); }
    size_t Find(const uint8_t* p, size_t n, size_t* at) const { return FindMatch(*this, p, n, at); }
};

// 0 when no match of kFilterLength bytes or more can start at data: a search would be wasted.
// A search costs a cache miss per step, so in new content (compressed data above all) the
// filter is what lets every position be tried, and the short matches there be found.
int MayMatch(const SuffixFinder& f, const uint8_t* data, size_t size) {
    if (size < kFilterLength)
        return 1;
    const uint64_t h = FilterHash(data, f.filterShift);
    return (int)(f.filter[h >> 6] >> (h & 63) & 1);
}

inline size_t MatchLength(const uint8_t* a, size_t aSize, const uint8_t* b, size_t bSize) {
    return CommonLength(a, b, std::min(std::min(aSize, bSize), kMaxCompare));
}

void BuildFinder(SuffixFinder* f, const uint8_t* base, size_t baseSize) {
    f->base = base;
    f->baseSize = baseSize;
    f->sa.resize(baseSize);
    // Either sorter gives the one suffix array there is, so the delta's bytes are the same.
#if UPDATER_HAVE_DIVSUFSORT
    static_assert(sizeof(saidx_t) == sizeof(int32_t), "a suffix array of 32-bit positions");
    if (baseSize)
        divsufsort(base, (saidx_t*)f->sa.data(), (saidx_t)baseSize);
#else
    if (!SortSuffixes(base, f->sa.data(), baseSize))
        throw std::bad_alloc();
#endif
    f->bucket.assign(65537, 0);
    for (size_t i = 0; i < baseSize; ++i) {
        const size_t p = (size_t)f->sa[i];
        const unsigned key = (unsigned)base[p] << 8 | (p + 1 < baseSize ? base[p + 1] : 0);
        ++f->bucket[key + 1];
    }
    for (size_t k = 1; k <= 65536; ++k)
        f->bucket[k] += f->bucket[k - 1];
    unsigned bits = 16;
    while (bits < 31 && ((size_t)1 << bits) < baseSize * kFilterBitsPerByte)
        ++bits;
    f->filterShift = 64 - bits;
    f->filter.assign(((size_t)1 << bits) / 64, 0);
    for (size_t p = 0; p + kFilterLength <= baseSize; ++p) {
        const uint64_t h = FilterHash(base + p, f->filterShift);
        f->filter[h >> 6] |= 1ull << (h & 63);
    }
}

// The longest match of data[0, size) in the base (up to kMaxCompare bytes).
size_t FindMatch(const SuffixFinder& f, const uint8_t* data, size_t size, size_t* pos) {
    *pos = 0;
    if (f.baseSize == 0 || size == 0)
        return 0;
    size_t lo = 0, hi = f.baseSize; // the answer lies in the suffix-array range [lo, hi)
    if (size >= 2) {
        const unsigned key = (unsigned)data[0] << 8 | data[1];
        lo = f.bucket[key];
        hi = f.bucket[key + 1];
        if (lo == hi) {
            // No suffix starts with these two bytes; fall back to the one-byte range.
            lo = f.bucket[(unsigned)data[0] << 8];
            hi = f.bucket[((unsigned)data[0] + 1) << 8];
            if (lo == hi)
                return 0;
        }
    }
    // Binary search for where data would sort. Every suffix between lo and hi shares with data
    // at least the shorter of the prefixes that lo's and hi's suffixes share with it, so each
    // compare starts there.
    const size_t cap = std::min(size, kMaxCompare);
    size_t last = hi - 1;
    size_t lcpLo = MatchLength(f.base + f.sa[lo], f.baseSize - f.sa[lo], data, cap);
    size_t lcpHi = MatchLength(f.base + f.sa[last], f.baseSize - f.sa[last], data, cap);
    while (last - lo > 1) {
        const size_t mid = lo + (last - lo) / 2;
        const size_t p = (size_t)f.sa[mid];
        const size_t skip = std::min(lcpLo, lcpHi);
        const size_t n = std::min(f.baseSize - p, cap);
        const size_t m =
            skip + MatchLength(f.base + p + skip, n - std::min(n, skip), data + skip, cap - skip);
        if (m == cap) {
            *pos = p;
            return m;
        }
        // The suffix sorts before data when it ends first or its next byte is smaller.
        if (m == n || f.base[p + m] < data[m]) {
            lo = mid;
            lcpLo = m;
        } else {
            last = mid;
            lcpHi = m;
        }
    }
    if (lcpLo >= lcpHi) {
        *pos = (size_t)f.sa[lo];
        return lcpLo;
    }
    *pos = (size_t)f.sa[last];
    return lcpHi;
}

// The pages are let go after this many candidates read anywhere in the base, as well as after
// every options.releaseEvery bytes of the new file.
const size_t kFarReadsPerRelease = 1024;

// Finds approximate matches and writes them: a match is extended forwards and backwards as
// long as at least half of its bytes agree, and whatever lies between matches goes as
// literals. A new match is taken only when it beats the current alignment (the base offset of
// the last match) by more than a few bytes, so that code which merely shifted stays one span.
// How far the match at data[from] and base[pos] extends forward before end, as long as at least
// half of its bytes agree.
size_t ExtendForward(const uint8_t* base, size_t baseSize, const uint8_t* data, size_t from,
                     size_t pos, size_t end) {
    size_t len = 0;
    int64_t s = 0, best = 0;
    for (size_t i = 0; from + i < end && pos + i < baseSize;) {
        if (base[pos + i] == data[from + i])
            ++s;
        ++i;
        if (s * 2 - (int64_t)i > best * 2 - (int64_t)len) {
            best = s;
            len = i;
        }
    }
    return len;
}

// What lies further back than this behind the scan is written out along the last match's
// alignment, so that the extensions, the differences and the literals in hand stay bounded
// however long a match or a stretch of new content runs.
const size_t kMaxBehind = 8u << 20;

template <class Finder>
void EncodeSpans(Writer* wr, const Finder& finder, const uint8_t* base, size_t baseSize,
                 const uint8_t* data, size_t size, const DeltaEncodeOptions& options) {
    std::vector<uint8_t> diff;
    size_t nextRelease = options.releaseEvery;

    size_t scan = 0, len = 0, pos = 0;
    size_t lastScan = 0, lastPos = 0;
    int64_t lastOffset = 0;
    // How far the last match reaches forward along its alignment: each agreeing byte counts +1
    // and each other byte -1, and the reach ends where that sum was last at its best. Kept up
    // as the scan advances, so that each byte is weighed once per match.
    size_t reachAt = 0, reachEnd = 0;
    int64_t reachSum = 0, reachBest = 0;
    // Lets the pages go, and writes out what lies far behind the scan: the last match as far as
    // it extends, then literals; the alignment stays for what follows.
    auto keepUp = [&]() {
        if ((scan >= nextRelease || finder.farReads >= kFarReadsPerRelease) && options.release) {
            options.release();
            nextRelease = scan + options.releaseEvery;
            finder.farReads = 0;
        }
        if (scan <= lastScan + 2 * kMaxBehind)
            return;
        const size_t upTo = scan - kMaxBehind;
        const size_t lenF = ExtendForward(base, baseSize, data, lastScan, lastPos, upTo);
        if (lenF)
            EmitMatch(wr, base, lastPos, data + lastScan, lenF, &diff);
        if (lastScan + lenF < upTo)
            EmitRun(wr, kDeltaOpInsert, data + lastScan + lenF, upTo - (lastScan + lenF));
        lastPos += upTo - lastScan;
        lastScan = upTo;
        reachAt = reachEnd = lastScan;
        reachSum = reachBest = 0;
    };
    while (scan < size) {
        keepUp();
        size_t oldScore = 0;
        size_t scsc = scan += len;
        bool restart = false;
        // New content that shares short strings with the base (new code beside old code) would
        // cost a search at nearly every position: after a run of searches that find nothing
        // the scan strides, faster the longer the run. Positions the filter turns away wear the
        // run down again, so that in compressed data, where a search is rare, the scan keeps
        // to single steps and finds the short islands there.
        size_t misses = 0, quiet = 0;
        while (scan < size) {
            keepUp();
            // In new content the scan moves a byte at a time: fetch the filter's word for a
            // position further on while this one is weighed.
            if (scan + kFilterAhead + finder.hashLength <= size)
                finder.Prefetch(data + scan + kFilterAhead);
            bool searched = finder.May(data + scan, size - scan);
            len = 0;
            if (Finder::kAlignmentFirst) {
                // Where the last match's alignment still agrees for a block or more, that is
                // the match: the table would name the same bytes, or their twin elsewhere in
                // the base, and reading there costs a page of a far-off stretch of the base.
                const int64_t at = (int64_t)scan + lastOffset;
                if (at >= 0 && (uint64_t)at < baseSize) {
                    const size_t aligned =
                        MatchLength(base + at, baseSize - (size_t)at, data + scan, size - scan);
                    if (aligned >= finder.hashLength) {
                        len = aligned;
                        pos = (size_t)at;
                        searched = false;
                    }
                }
            }
            if (searched)
                len = finder.Find(data + scan, size - scan, &pos);
            for (; scsc < scan + len; ++scsc) {
                const int64_t at = (int64_t)scsc + lastOffset;
                if (at >= 0 && (uint64_t)at < baseSize && base[at] == data[scsc])
                    ++oldScore;
            }
            if (len == oldScore && len != 0) {
                // The same alignment as the last match. Where it fell far behind in between
                // (compressed data, where matches are short islands), the last match's forward
                // extension stops short of here and this match must start afresh; otherwise
                // it simply continues the last one.
                for (; reachAt < scan && lastPos + (reachAt - lastScan) < baseSize; ++reachAt) {
                    reachSum += base[lastPos + (reachAt - lastScan)] == data[reachAt] ? 1 : -1;
                    if (reachSum > reachBest) {
                        reachBest = reachSum;
                        reachEnd = reachAt + 1;
                    }
                }
                const int64_t at = (int64_t)scan + lastOffset;
                if (len >= kRestartLength && reachSum + kAlignmentDip < reachBest && at >= 0 &&
                    (uint64_t)at + len <= baseSize && memcmp(base + at, data + scan, len) == 0) {
                    pos = (size_t)at;
                    restart = true;
                }
                break;
            }
            if (len > oldScore + 8)
                break;
            if (searched) {
                misses = len >= kMissLength ? 0 : misses + 1;
            } else if (++quiet == kQuietSteps) {
                quiet = 0;
                misses -= misses > 0;
            }
            const size_t step = Finder::kStrides ? 1 + (misses >> kMissShift) : 1;
            // oldScore counts the aligned agreements in [scan, scsc).
            for (size_t k = 0; k < step && scan < size; ++k, ++scan) {
                const int64_t at = (int64_t)scan + lastOffset;
                if (scan < scsc && at >= 0 && (uint64_t)at < baseSize && base[at] == data[scan])
                    --oldScore;
            }
            if (scsc < scan)
                scsc = scan;
        }
        if (len == oldScore && scan != size && !restart)
            continue;

        // Forward extension of the last match from lastScan.
        size_t lenF = ExtendForward(base, baseSize, data, lastScan, lastPos, scan);
        // Backward extension of the new match from scan.
        size_t lenB = 0;
        if (scan < size) {
            int64_t s = 0, best = 0;
            for (size_t i = 1; scan >= lastScan + i && pos >= i; ++i) {
                if (base[pos - i] == data[scan - i])
                    ++s;
                if (s * 2 - (int64_t)i > best * 2 - (int64_t)lenB) {
                    best = s;
                    lenB = i;
                }
            }
        }
        // Where the two overlap, the split point that agrees best.
        if (lastScan + lenF > scan - lenB) {
            const size_t overlap = (lastScan + lenF) - (scan - lenB);
            int64_t s = 0, best = 0;
            size_t lens = 0;
            for (size_t i = 0; i < overlap; ++i) {
                if (data[lastScan + lenF - overlap + i] == base[lastPos + lenF - overlap + i])
                    ++s;
                if (data[scan - lenB + i] == base[pos - lenB + i])
                    --s;
                if (s > best) {
                    best = s;
                    lens = i + 1;
                }
            }
            lenF += lens - overlap;
            lenB -= lens;
        }

        if (lenF)
            EmitMatch(wr, base, lastPos, data + lastScan, lenF, &diff);
        const size_t literalStart = lastScan + lenF;
        const size_t literalEnd = scan - lenB;
        if (literalEnd > literalStart)
            EmitRun(wr, kDeltaOpInsert, data + literalStart, literalEnd - literalStart);

        lastScan = scan - lenB;
        lastPos = pos - lenB;
        lastOffset = (int64_t)pos - (int64_t)scan;
        reachAt = reachEnd = lastScan;
        reachSum = reachBest = 0;
    }
}

// A match found through the table is a jump anywhere in the base, whose seek costs several
// bytes: shorter ones cost more than the literals they would spare (measured on archives of
// real binaries, where new files share many short strings with old ones; with the literals
// coded modeled, a whole block's match already pays).
const size_t kMinFarMatch = 32;

// Above 2^kMaxBlockBits blocks the base's blocks grow, so that a block's number and a few bits
// of its hash share one 32-bit slot; the table has at most 2^kMaxSlotBits slots (512 MiB).
const unsigned kMaxBlockBits = 27;
const unsigned kMaxSlotBits = 27;
// Slots come in buckets of kBucketWays (16 bytes, in one cache line), holding the newest blocks
// of a hash: of repeated content the search takes the longest match among them.
const unsigned kBucketShift = 2;
const size_t kBucketWays = (size_t)1 << kBucketShift;
const size_t kMinBlock = 32;

inline uint64_t BlockHash(const uint8_t* p, size_t words) {
    uint64_t h = 0;
    for (size_t k = 0; k < words; ++k) {
        uint64_t w;
        memcpy(&w, p + 8 * k, 8);
        h = (h ^ w) * 0x9E3779B97F4A7C15ull;
        h ^= h >> 31;
    }
    return h * 0xD6E8FEB86659FD93ull;
}

// The format's check value taken piece by piece (archive/delta_apply.h), so that a file read
// through a window is checked as it passes.
struct RunningCheck {
    DeltaCheckState state;
    explicit RunningCheck(uint64_t size) { DeltaCheckBegin(&state, size); }
    void Add(const uint8_t* p, size_t n) { DeltaCheckUpdate(&state, p, n); }
    uint64_t Value() { return DeltaCheckEnd(&state); }
};

// A bucket of slots per hash of a block of the base (the blocks at multiples of the block size),
// each slot holding a block's number and spare hash bits that turn most wrong candidates away
// before the base is read. A search finds only matches that hold a whole block from where it
// looks; the extension backwards finds where they really start. Memory: 4 bytes a slot, at most
// 2^kMaxSlotBits slots, whatever the base's size; time: one hash and one bucket per position.
struct BlockFinder {
    const uint8_t* base;
    size_t baseSize;
    size_t block;
    size_t words;
    unsigned slotShift;
    unsigned tagBits;
    uint32_t tagMask;
    size_t hashLength;
    std::vector<uint32_t> slots;
    // Candidates read since the pages were last let go: each brings in a stretch of the base
    // around it (the system maps neighbouring pages too), wherever in the base it lies.
    mutable size_t farReads = 0;

    // A search costs one hash and one slot, so the scan never needs to stride; a stride would
    // step over a block's start.
    static const bool kStrides = false;
    static const bool kAlignmentFirst = true;
    void Prefetch(const uint8_t* p) const {
        __builtin_prefetch(&slots[(BlockHash(p, words) >> slotShift) * kBucketWays]);
    }
    bool May(const uint8_t*, size_t) const { return true; }
    size_t Find(const uint8_t* p, size_t n, size_t* at) const {
        *at = 0;
        if (n < block)
            return 0;
        const uint64_t h = BlockHash(p, words);
        const uint32_t* bucket = &slots[(h >> slotShift) * kBucketWays];
        size_t best = 0;
        for (size_t k = 0; k < kBucketWays && bucket[k]; ++k) {
            const uint32_t e = bucket[k];
            if ((e & tagMask) != ((uint32_t)h & tagMask))
                continue;
            const size_t from = (size_t)((e >> tagBits) - 1) * block;
            ++farReads;
            const size_t len = MatchLength(base + from, baseSize - from, p, n);
            if (len > best) {
                best = len;
                *at = from;
            }
        }
        if (best < std::max(block, kMinFarMatch))
            return 0;
        return best;
    }
};

// Hashes the base's blocks and takes its check value in the same pass, letting the pages go
// every options.releaseEvery bytes.
void BuildBlockFinder(BlockFinder* f, const uint8_t* base, size_t baseSize,
                      const DeltaEncodeOptions& options, RunningCheck* check) {
    f->base = base;
    f->baseSize = baseSize;
    f->block = options.blockSize ? options.blockSize : kMinBlock;
    while (!options.blockSize && baseSize / f->block > ((size_t)1 << kMaxBlockBits))
        f->block *= 2;
    f->words = f->block / 8;
    f->hashLength = f->block;
    const size_t blocks = baseSize / f->block;
    unsigned indexBits = 1;
    while (((size_t)1 << indexBits) <= blocks)
        ++indexBits;
    f->tagBits = indexBits < 32 ? 32 - indexBits : 0;
    f->tagMask = f->tagBits ? (uint32_t)((1ull << f->tagBits) - 1) : 0;
    unsigned slotBits = 12;
    while (slotBits < kMaxSlotBits && ((size_t)1 << slotBits) < 2 * blocks)
        ++slotBits;
    f->slotShift = 64 - (slotBits - kBucketShift);
    f->slots.assign((size_t)1 << slotBits, 0);
    // A piece is whole blocks and whole check words.
    const size_t piece = std::max<size_t>(options.releaseEvery / f->block, 1) * f->block;
    for (size_t at = 0; at < baseSize; at += piece) {
        const size_t n = std::min(piece, baseSize - at);
        check->Add(base + at, n);
        for (size_t b = at; b + f->block <= at + n; b += f->block) {
            const uint64_t h = BlockHash(base + b, f->words);
            // The newest block first; one of the same hash bits (most likely the same bytes
            // again) gives way to it rather than a different one.
            uint32_t* bucket = &f->slots[(h >> f->slotShift) * kBucketWays];
            size_t k = 0;
            while (k + 1 < kBucketWays && bucket[k] &&
                   (bucket[k] & f->tagMask) != ((uint32_t)h & f->tagMask))
                ++k;
            memmove(bucket + 1, bucket, k * sizeof(uint32_t));
            bucket[0] = (uint32_t)((b / f->block + 1) << f->tagBits) | ((uint32_t)h & f->tagMask);
        }
        if (options.release)
            options.release();
    }
}

} // namespace

int EncodeDelta(const uint8_t* base, uint64_t baseSize, const uint8_t* data, uint64_t size,
                const DeltaEncodeOptions& options, std::vector<uint8_t>* out) {
    if (baseSize > SIZE_MAX / 2 || size > SIZE_MAX / 2)
        return 0;
    Writer wr;
    wr.out = out;
    if (options.modeled) {
        wr.flags = kDeltaFlagModeled;
        for (auto& m : wr.modeled)
            m.reset(new ModeledStreamEncoder);
    }
    const size_t start = out->size();
    uint64_t baseCheck;
    // The suffix sorter takes at most 2^31 - 1 bytes.
    if (baseSize <= std::min<uint64_t>(options.wholeSearchLimit, (1ull << 31) - 1)) {
        SuffixFinder finder;
        BuildFinder(&finder, base, (size_t)baseSize);
        baseCheck = DeltaCheck(base, (size_t)baseSize);
        EncodeSpans(&wr, finder, base, (size_t)baseSize, data, (size_t)size, options);
    } else {
        BlockFinder finder;
        RunningCheck check(baseSize);
        BuildBlockFinder(&finder, base, (size_t)baseSize, options, &check);
        baseCheck = check.Value();
        EncodeSpans(&wr, finder, base, (size_t)baseSize, data, (size_t)size, options);
    }
    FlushWindow(&wr);
    WriteWindows(&wr);
    RunningCheck dataCheck(size);
    const uint64_t piece = std::max<uint64_t>(options.releaseEvery / 8, 1) * 8;
    for (uint64_t at = 0; at < size; at += piece) {
        dataCheck.Add(data + at, (size_t)std::min(piece, size - at));
        if (options.release)
            options.release();
    }

    // The header goes in front of the windows, now that their number is known.
    std::vector<uint8_t> header(kDeltaMagic, kDeltaMagic + kDeltaMagicSize);
    PutVarint(&header, wr.flags);
    PutVarint(&header, baseSize);
    PutVarint(&header, size);
    uint8_t checks[16];
    DeltaStore64(checks, baseCheck);
    DeltaStore64(checks + 8, dataCheck.Value());
    header.insert(header.end(), checks, checks + 16);
    PutVarint(&header, wr.windowCount);
    out->insert(out->begin() + (ptrdiff_t)start, header.begin(), header.end());
    return 1;
}

int EncodeDelta(const uint8_t* base, size_t baseSize, const uint8_t* data, size_t size,
                std::vector<uint8_t>* out) {
    return EncodeDelta(base, baseSize, data, size, DeltaEncodeOptions(), out);
}
