#include "archive/delta_apply.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "payload/delta_encode.h"
#include "payload/delta_lz_encode.h"
#include "support/reference_delta.h"

namespace {

typedef std::vector<uint8_t> Bytes;

const size_t kCanary = 32;
const uint8_t kCanaryByte = 0xA5;

struct Applied {
    DeltaStatus status;
    size_t produced;
    Bytes output;
};

// Applies with an output buffer of exactly `capacity` bytes followed by canary bytes, and the
// delta and base in heap blocks of exactly their size, so that any access past them shows.
Applied Apply(const Bytes& base, const Bytes& delta, size_t capacity) {
    Bytes exactBase(base), exactDelta(delta);
    Bytes out(capacity + kCanary, kCanaryByte);
    static Bytes scratch(kDeltaScratchSize);
    Applied a;
    a.status = ApplyDelta(exactBase.data(), exactBase.size(), exactDelta.data(), exactDelta.size(),
                          out.data(), capacity, scratch.data(), scratch.size(), &a.produced);
    for (size_t i = 0; i < kCanary; ++i)
        if (out[capacity + i] != kCanaryByte) {
            ADD_FAILURE() << "canary byte " << i << " overwritten";
            break;
        }
    EXPECT_LE(a.produced, capacity);
    a.output.assign(out.begin(), out.begin() + (long)std::min(a.produced, capacity));
    return a;
}

Bytes Encode(const Bytes& base, const Bytes& data) {
    Bytes delta;
    EXPECT_EQ(1, EncodeDelta(base.data(), base.size(), data.data(), data.size(), &delta));
    return delta;
}

// Encodes, applies into a buffer of exactly the result's size and one byte short, and has the
// plain reference applier read the same delta.
Bytes ExpectRoundTrip(const Bytes& base, const Bytes& data, const std::string& what) {
    Bytes delta = Encode(base, data);
    Applied a = Apply(base, delta, data.size());
    EXPECT_EQ(kDeltaOk, a.status) << what << ": " << DeltaStatusName(a.status);
    EXPECT_EQ(data.size(), a.produced) << what;
    EXPECT_TRUE(a.output == data) << what;
    if (!data.empty()) {
        Applied shortBuffer = Apply(base, delta, data.size() - 1);
        EXPECT_EQ(kDeltaOutputOverflow, shortBuffer.status) << what;
    }
    ReferenceDelta ref = ReferenceApplyDelta(base, delta);
    EXPECT_TRUE(ref.ok) << what;
    EXPECT_TRUE(ref.output == data) << what;
    return delta;
}

Bytes Random(std::mt19937& rng, size_t size) {
    Bytes b(size);
    for (auto& c : b)
        c = (uint8_t)rng();
    return b;
}

// Something like machine code: short instruction-like records with 32-bit addresses that all
// move when code is inserted in front of them.
Bytes CodeLike(std::mt19937& rng, size_t records, uint32_t shift) {
    Bytes b;
    std::mt19937 shape(7);
    for (size_t i = 0; i < records; ++i) {
        const uint32_t kind = shape() % 4;
        b.push_back((uint8_t)(0x48 + kind));
        b.push_back((uint8_t)(0x89 + (shape() % 3)));
        if (kind != 3) {
            const uint32_t address = 0x401000 + (uint32_t)(i * 16) + shift;
            for (int k = 0; k < 4; ++k)
                b.push_back((uint8_t)(address >> (8 * k)));
        }
    }
    (void)rng;
    return b;
}

TEST(DeltaRoundTrip, EdgeCases) {
    std::mt19937 rng(12);
    const Bytes text = Random(rng, 20000);
    ExpectRoundTrip({}, {}, "both empty");
    ExpectRoundTrip({}, text, "empty base");
    ExpectRoundTrip(text, {}, "empty result");
    ExpectRoundTrip({7}, {7}, "one byte, same");
    ExpectRoundTrip({7}, {8}, "one byte, changed");
    Bytes same = ExpectRoundTrip(text, text, "identical");
    EXPECT_LT(same.size(), 200u) << "an identical file costs a few ops";
    ExpectRoundTrip(text, Random(rng, 20000), "entirely different");
    ExpectRoundTrip(text, Bytes(text.begin(), text.begin() + 5000), "base longer");
    Bytes longer = text;
    longer.insert(longer.end(), text.begin(), text.begin() + 7000);
    ExpectRoundTrip(Bytes(text.begin(), text.begin() + 3000), text, "base shorter");
    ExpectRoundTrip(text, longer, "bytes appended (a repeat of the base)");
    Bytes appended = text;
    const Bytes tail = Random(rng, 3333);
    appended.insert(appended.end(), tail.begin(), tail.end());
    Bytes withTail = ExpectRoundTrip(text, appended, "random bytes appended");
    EXPECT_LT(withTail.size(), 3333u + 600u);
    Bytes zeros(100000, 0);
    ExpectRoundTrip(zeros, Bytes(150000, 0), "runs of one byte");
}

TEST(DeltaRoundTrip, InsertionsRemovalsAndEdits) {
    std::mt19937 rng(5);
    const Bytes base = Random(rng, 60000);
    Bytes inserted = base;
    const Bytes middle = Random(rng, 1000);
    inserted.insert(inserted.begin() + 30000, middle.begin(), middle.end());
    Bytes d = ExpectRoundTrip(base, inserted, "bytes inserted in the middle");
    EXPECT_LT(d.size(), 1000u + 600u);
    Bytes removed = base;
    removed.erase(removed.begin() + 20000, removed.begin() + 24000);
    d = ExpectRoundTrip(base, removed, "bytes removed from the middle");
    EXPECT_LT(d.size(), 600u);
    Bytes swapped(base.begin() + 30000, base.end());
    swapped.insert(swapped.end(), base.begin(), base.begin() + 30000);
    ExpectRoundTrip(base, swapped, "halves swapped");

    // Random edits of structured data: addresses shifted by an insertion, a few records
    // changed, some removed.
    const Bytes code = CodeLike(rng, 20000, 0);
    Bytes newCode = CodeLike(rng, 20000, 0x40);
    for (int i = 0; i < 50; ++i)
        newCode[rng() % newCode.size()] ^= (uint8_t)(1 + rng() % 255);
    newCode.erase(newCode.begin() + 5000, newCode.begin() + 5100);
    const Bytes patch = Random(rng, 64);
    newCode.insert(newCode.begin() + 40000, patch.begin(), patch.end());
    d = ExpectRoundTrip(code, newCode, "shifted addresses and edits");
    EXPECT_LT(d.size(), newCode.size() / 10) << "approximate matches keep shifted code cheap";
}

TEST(DeltaRoundTrip, SeveralWindows) {
    // More than two windows' worth of output, with changes near the window boundaries.
    std::mt19937 rng(9);
    const Bytes base = Random(rng, 9u << 20);
    Bytes data = base;
    for (size_t at :
         {(size_t)kDeltaMaxWindowOutput - 3, 2 * (size_t)kDeltaMaxWindowOutput + 5, (size_t)1000})
        data[at] ^= 0x5A;
    const Bytes extra = Random(rng, 5000);
    data.insert(data.begin() + kDeltaMaxWindowOutput, extra.begin(), extra.end());
    const Bytes delta = ExpectRoundTrip(base, data, "three windows");
    DeltaInfo info;
    ASSERT_EQ(kDeltaOk, ReadDeltaInfo(delta.data(), delta.size(), &info));
    EXPECT_EQ(3u, info.windowCount);
    EXPECT_LT(delta.size(), 8000u);
}

// Every prefix of a valid delta fails, and every damaged byte is caught.
TEST(DeltaDamage, EveryTruncationFailsAndNoDamageGivesAWrongResult) {
    std::mt19937 rng(21);
    const Bytes base = CodeLike(rng, 3000, 0);
    Bytes data = CodeLike(rng, 3000, 0x20);
    const Bytes fresh = Random(rng, 300);
    data.insert(data.begin() + 4000, fresh.begin(), fresh.end());
    const Bytes delta = Encode(base, data);
    ASSERT_EQ(kDeltaOk, Apply(base, delta, data.size()).status);

    size_t truncations = 0;
    for (size_t cut = 0; cut < delta.size(); ++cut) {
        Applied a = Apply(base, Bytes(delta.begin(), delta.begin() + (long)cut), data.size());
        EXPECT_NE(kDeltaOk, a.status) << "cut at " << cut;
        EXPECT_FALSE(ReferenceApplyDelta(base, Bytes(delta.begin(), delta.begin() + (long)cut)).ok);
        ++truncations;
    }
    // A damaged byte either fails or changes nothing of the result (bits of a block stream's
    // last flag word after its end marker, a copy that fetches the same bytes from elsewhere):
    // ok always means the recorded result.
    size_t damaged = 0, harmless = 0;
    for (size_t at = 0; at < delta.size(); ++at) {
        for (int flip : {0x01, 0x80, 0xFF}) {
            Bytes bad = delta;
            bad[at] ^= (uint8_t)flip;
            Applied a = Apply(base, bad, data.size());
            if (a.status == kDeltaOk) {
                EXPECT_TRUE(a.output == data) << "byte " << at << " ^ " << flip;
                ++harmless;
            }
            if (flip == 0xFF) { // the plain applier is slow; one damage per byte for it
                EXPECT_EQ(a.status == kDeltaOk, ReferenceApplyDelta(base, bad).ok)
                    << "byte " << at << " ^ " << flip;
            }
            ++damaged;
        }
    }
    EXPECT_LT(harmless, damaged / 20);
    Bytes longer = delta;
    longer.push_back(0);
    EXPECT_EQ(kDeltaCorrupt, Apply(base, longer, data.size()).status) << "a byte after the end";
    printf("delta of %zu bytes: %zu truncations refused, %zu damaged copies of which %zu "
           "decode to the same result\n",
           delta.size(), truncations, damaged, harmless);
}

TEST(DeltaDamage, TheBaseMustBeTheOneRecorded) {
    std::mt19937 rng(4);
    const Bytes base = Random(rng, 5000);
    Bytes data = base;
    data[100] ^= 1;
    const Bytes delta = Encode(base, data);
    Bytes otherBase = base;
    otherBase[4999] ^= 1;
    EXPECT_EQ(kDeltaBaseMismatch, Apply(otherBase, delta, data.size()).status);
    EXPECT_EQ(kDeltaBaseMismatch,
              Apply(Bytes(base.begin(), base.end() - 1), delta, data.size()).status);
    EXPECT_EQ(kDeltaBaseMismatch, Apply({}, delta, data.size()).status);
}

void PutVarint(Bytes* out, uint64_t v) {
    for (; v >= 0x80; v >>= 7)
        out->push_back((uint8_t)(v | 0x80));
    out->push_back((uint8_t)v);
}

// A hand-made delta's header, up to and with its number of windows.
Bytes DeltaHeader(uint64_t flags, const Bytes& base, const Bytes& result, uint64_t windows) {
    Bytes d(kDeltaMagic, kDeltaMagic + kDeltaMagicSize);
    PutVarint(&d, flags);
    PutVarint(&d, base.size());
    PutVarint(&d, result.size());
    uint8_t checks[16];
    DeltaStore64(checks, DeltaCheck(base.data(), base.size()));
    DeltaStore64(checks + 8, DeltaCheck(result.data(), result.size()));
    d.insert(d.end(), checks, checks + 16);
    PutVarint(&d, windows);
    return d;
}

// Hand-made deltas, to reach the checks that the encoder never trips.
struct Crafted {
    Bytes base;
    Bytes result;
    Bytes ops, lengths, seeks, diff, literals;
    uint64_t windowBasePos = 0;

    uint8_t literalsMethod = kStreamStored;
    Bytes storedLiterals; // the literals as stored, when literalsMethod is not kStreamStored

    Bytes Build() const {
        Bytes d = DeltaHeader(0, base, result, 1);
        PutVarint(&d, result.size());
        PutVarint(&d, windowBasePos);
        const Bytes* streams[5] = {&ops, &lengths, &seeks, &diff, &literals};
        Bytes body;
        for (int s = 0; s < 5; ++s) {
            const bool coded = s == (int)kDeltaStreamLiterals && literalsMethod != kStreamStored;
            const Bytes& stored = coded ? storedLiterals : *streams[s];
            d.push_back(coded ? literalsMethod : kStreamStored);
            PutVarint(&d, streams[s]->size());
            PutVarint(&d, stored.size());
            body.insert(body.end(), stored.begin(), stored.end());
        }
        d.insert(d.end(), body.begin(), body.end());
        return d;
    }
};

TEST(DeltaCrafted, EachOpAndEachRefusal) {
    Crafted c;
    c.base = {10, 20, 30, 40, 50, 60};
    // SEEK +2, COPY 2 (30 40), ADD 2 (+1 +1 over 50 60), SEEK -6, INSERT 1, COPY 1 (10).
    c.ops = {3 | 4 << 2, 0 | 1 << 2, 1 | 1 << 2, 3 | 11 << 2, 2 | 0 << 2, 0 | 0 << 2};
    c.diff = {1, 1};
    c.literals = {99};
    c.result = {30, 40, 51, 61, 99, 10};
    Applied a = Apply(c.base, c.Build(), c.result.size());
    ASSERT_EQ(kDeltaOk, a.status) << DeltaStatusName(a.status);
    EXPECT_TRUE(a.output == c.result);
    EXPECT_TRUE(ReferenceApplyDelta(c.base, c.Build()).ok);

    // A long length (64 + varint) and a long seek (zigzag varint) from their own streams.
    Crafted longOps;
    longOps.base.assign(300, 0);
    for (size_t i = 0; i < 300; ++i)
        longOps.base[i] = (uint8_t)i;
    longOps.ops = {3 | 63 << 2, 0 | 63 << 2};
    longOps.seeks = {0xC8, 0x01}; // zigzag 200: +100
    longOps.lengths = {36};       // 64 + 36 = 100 bytes
    longOps.result.assign(longOps.base.begin() + 100, longOps.base.begin() + 200);
    a = Apply(longOps.base, longOps.Build(), longOps.result.size());
    EXPECT_EQ(kDeltaOk, a.status) << DeltaStatusName(a.status);
    EXPECT_TRUE(a.output == longOps.result);

    struct Case {
        const char* what;
        Crafted delta;
        DeltaStatus expected;
    };
    std::vector<Case> cases;
    Crafted outside = c;
    outside.ops = {3 | 8 << 2, 0 | 2 << 2}; // SEEK +4, COPY 3: reaches byte 6 of 6
    outside.result = {50, 60, 0};
    cases.push_back({"copy past the base's end", outside, kDeltaBaseRange});
    Crafted before = c;
    before.ops = {3 | 1 << 2}; // SEEK -1 from 0
    before.result = {0};
    cases.push_back({"seek before the base", before, kDeltaBaseRange});
    Crafted windowPos = c;
    windowPos.windowBasePos = 7;
    cases.push_back({"window starts past the base", windowPos, kDeltaBaseRange});
    Crafted pastWindow = c;
    pastWindow.ops = {2 | 1 << 2};
    pastWindow.literals = {1, 2};
    pastWindow.result = {1};
    cases.push_back({"op longer than the window", pastWindow, kDeltaCorrupt});
    Crafted leftover = c;
    leftover.literals.push_back(5);
    cases.push_back({"literals left over", leftover, kDeltaCorrupt});
    Crafted noDiff = c;
    noDiff.diff = {1};
    noDiff.literals = {99};
    cases.push_back({"diff stream too short", noDiff, kDeltaCorrupt});
    Crafted wrongResult = c;
    wrongResult.result[0] ^= 1; // recorded check is of other bytes
    cases.push_back({"result check differs", wrongResult, kDeltaCorrupt});
    Crafted badVarint = longOps;
    badVarint.lengths = {0x80, 0x80};
    cases.push_back({"varint cut short", badVarint, kDeltaCorrupt});
    for (const Case& k : cases) {
        Applied r = Apply(k.delta.base, k.delta.Build(), k.delta.result.size());
        EXPECT_EQ(k.expected, r.status) << k.what << ": " << DeltaStatusName(r.status);
        EXPECT_FALSE(ReferenceApplyDelta(k.delta.base, k.delta.Build()).ok) << k.what;
    }

    Bytes d = c.Build();
    Bytes flagged = d;
    flagged[kDeltaMagicSize] = 2; // a flag this applier does not know
    EXPECT_EQ(kDeltaUnsupported, Apply(c.base, flagged, 6).status);
    EXPECT_FALSE(ReferenceApplyDelta(c.base, flagged).ok);
    Bytes notDelta = d;
    notDelta[0] = 'X';
    EXPECT_EQ(kDeltaUnsupported, Apply(c.base, notDelta, 6).status);
    DeltaInfo info;
    ASSERT_EQ(kDeltaOk, ReadDeltaInfo(d.data(), d.size(), &info));
    Bytes method = d;
    method[info.headerSize + 2] = kStreamModeled; // after outputSize and basePos, a byte each
    EXPECT_EQ(kDeltaUnsupported, Apply(c.base, method, 6).status) << "modeled, but no flag";
    EXPECT_FALSE(ReferenceApplyDelta(c.base, method).ok);

    size_t produced = 1;
    uint8_t out[6], scratch[4];
    EXPECT_EQ(kDeltaScratchTooSmall,
              ApplyDelta(c.base.data(), c.base.size(), d.data(), d.size(), out, sizeof out, scratch,
                         sizeof scratch, &produced));
    EXPECT_EQ(0u, produced);
}

// A delta stream over memory: the delta handed out in pieces of at most `piece` bytes, the
// base read by position and counted, the result gathered; call failAt of any callback fails.
struct MemoryStream {
    const Bytes* base;
    const Bytes* delta;
    size_t used, piece;
    int calls, failAt;
    uint64_t baseRead;
    Bytes out;
    uint64_t checkError; // what the caller's own check of the result gets wrong, xored in
    bool Fail() { return ++calls == failAt; }
};

DeltaIo MemoryStreamIo(MemoryStream* s) {
    return {s,
            [](void* c, uint8_t* to, size_t size) -> ptrdiff_t {
                MemoryStream* s = (MemoryStream*)c;
                if (s->Fail())
                    return -1;
                const size_t n = std::min({size, s->piece, s->delta->size() - s->used});
                memcpy(to, s->delta->data() + s->used, n);
                s->used += n;
                return (ptrdiff_t)n;
            },
            [](void* c, uint64_t at, uint8_t* to, size_t size) {
                MemoryStream* s = (MemoryStream*)c;
                memcpy(to, s->base->data() + at, size);
                s->baseRead += size;
                return s->Fail() ? 0 : 1;
            },
            [](void* c, const uint8_t* p, size_t size) {
                MemoryStream* s = (MemoryStream*)c;
                s->out.insert(s->out.end(), p, p + size);
                return s->Fail() ? 0 : 1;
            },
            nullptr};
}

uint64_t CallersCheck(void* c) {
    MemoryStream* s = (MemoryStream*)c;
    return DeltaCheck(s->out.data(), s->out.size()) ^ s->checkError;
}

// The streaming applier with the delta handed over in pieces of every size, and with each of
// its callbacks failing at every call: the same result, or the callback's failure told as such.
TEST(DeltaStream, PiecesAndFailingCallbacks) {
    std::mt19937 rng(23);
    const Bytes base = Random(rng, 20000);
    Bytes data(base.begin() + 3000, base.end());
    data.insert(data.begin() + 500, 700, 'x');
    const Bytes delta = Encode(base, data);
    static Bytes scratch(kDeltaScratchSize);
    for (size_t piece : {(size_t)1, (size_t)7, delta.size()}) {
        MemoryStream s{&base, &delta, 0, piece, 0, 0, 0, {}, 0};
        DeltaIo each = MemoryStreamIo(&s);
        uint64_t produced = 0;
        ASSERT_EQ(kDeltaOk, ApplyDeltaStream(each, base.size(), nullptr, scratch.data(),
                                             scratch.size(), &produced));
        EXPECT_TRUE(s.out == data) << "pieces of " << piece;
        const int calls = s.calls;
        for (int k = 1; k <= calls; ++k) {
            MemoryStream f{&base, &delta, 0, piece, 0, k, 0, {}, 0};
            each = MemoryStreamIo(&f);
            const DeltaStatus status = ApplyDeltaStream(each, base.size(), nullptr, scratch.data(),
                                                        scratch.size(), &produced);
            EXPECT_TRUE(status == kDeltaReadFailed || status == kDeltaWriteFailed)
                << "call " << k << ": " << DeltaStatusName(status);
        }
    }
}

// The entropy coder on its own, for skewed, flat and one-valued data.
TEST(DeltaEntropy, StreamsDecodeThroughTheApplier) {
    std::mt19937 rng(8);
    std::vector<Bytes> inputs;
    inputs.push_back(Bytes(5000, 0));
    Bytes skewed(100000, 0);
    for (auto& b : skewed)
        b = rng() % 1000 == 0 ? (uint8_t)rng() : 0;
    inputs.push_back(skewed);
    inputs.push_back(Random(rng, 70000));
    Bytes two(3, 1);
    two.push_back(2);
    inputs.push_back(two);
    for (size_t i = 0; i < inputs.size(); ++i) {
        Crafted c;
        c.literals = inputs[i];
        c.result = inputs[i];
        for (size_t left = c.result.size(); left;) {
            const size_t n = std::min<size_t>(left, 63);
            c.ops.push_back((uint8_t)(kDeltaOpInsert | (n - 1) << 2));
            left -= n;
        }
        EncodeEntropyStream(inputs[i].data(), inputs[i].size(), &c.storedLiterals);
        c.literalsMethod = kStreamEntropy;
        const Bytes stored = c.Build();
        const Bytes& coded = c.storedLiterals;
        Applied a = Apply({}, stored, c.result.size());
        EXPECT_EQ(kDeltaOk, a.status) << "input " << i << ": " << DeltaStatusName(a.status);
        EXPECT_TRUE(a.output == c.result) << "input " << i;
        EXPECT_TRUE(ReferenceApplyDelta({}, stored).ok) << "input " << i;
        if (i == 1) {
            EXPECT_LT(coded.size(), skewed.size() / 40) << "skewed data compresses";
        }
    }
}

// Statistics that change along the stream: the encoder splits it into blocks with tables of
// their own, and the applier follows.
TEST(DeltaEntropy, BlocksFollowChangingStatistics) {
    std::mt19937 rng(31);
    Bytes data;
    for (int part = 0; part < 8; ++part)
        for (int i = 0; i < 40000; ++i)
            data.push_back((uint8_t)(part * 32 + rng() % (part % 2 ? 4 : 16)));
    Bytes coded;
    EncodeEntropyStream(data.data(), data.size(), &coded);
    EXPECT_LT(coded[0] | (coded[1] & 0x7f) << 7 | (coded[2] & 0x7f) << 14, 1 << 24)
        << "more than one block";
    // One table for all of it costs 6 bits a symbol (80 values, equally often); the parts
    // themselves take 4 and 2.
    EXPECT_LT(coded.size(), data.size() * 9 / 16);
    Crafted c;
    c.literals = data;
    c.result = data;
    for (size_t left = data.size(); left;) {
        const size_t n = std::min<size_t>(left, 63);
        c.ops.push_back((uint8_t)(kDeltaOpInsert | (n - 1) << 2));
        left -= n;
    }
    c.storedLiterals = coded;
    c.literalsMethod = kStreamEntropy;
    Applied a = Apply({}, c.Build(), data.size());
    EXPECT_EQ(kDeltaOk, a.status) << DeltaStatusName(a.status);
    EXPECT_TRUE(a.output == data);
    EXPECT_TRUE(ReferenceApplyDelta({}, c.Build()).ok);
}

// A hand-made lz stream from its five parts, each stored as it is.
Bytes LzStream(const Bytes& literals, const Bytes& runs, const Bytes& lengths, const Bytes& offsets,
               const Bytes& extra) {
    Bytes d;
    for (const Bytes* part : {&literals, &runs, &lengths, &offsets, &extra}) {
        d.push_back(kStreamStored);
        PutVarint(&d, part->size());
        PutVarint(&d, part->size());
    }
    for (const Bytes* part : {&literals, &runs, &lengths, &offsets, &extra})
        d.insert(d.end(), part->begin(), part->end());
    return d;
}

// A delta of one window whose literals stream is the given lz stream, decoding to `result`.
Crafted LzDelta(const Bytes& result, const Bytes& stream) {
    Crafted c;
    c.result = result;
    c.literals = result;
    for (size_t left = result.size(); left;) {
        const size_t n = std::min<size_t>(left, 63);
        c.ops.push_back((uint8_t)(kDeltaOpInsert | (n - 1) << 2));
        left -= n;
    }
    c.literalsMethod = kStreamLz;
    c.storedLiterals = stream;
    return c;
}

TEST(DeltaLz, EachCodeAndEachRefusal) {
    // "abc", then 4 bytes from 3 back (a new distance: code 3 + slot 2), then 2 bytes at rep0,
    // then 19 bytes (length code 16 with extra bits 0001) at rep0, then the literal "z".
    const Bytes ok = LzStream({'a', 'b', 'c', 'z'}, {3, 0, 0}, {2, 0, 16}, {5, 0, 0}, {0x01});
    std::string expected = "abcabca";
    expected += "bc";
    while (expected.size() < 7 + 2 + 19)
        expected += expected[expected.size() - 3];
    expected += "z";
    const Bytes result(expected.begin(), expected.end());
    Applied a = Apply({}, LzDelta(result, ok).Build(), result.size());
    ASSERT_EQ(kDeltaOk, a.status) << DeltaStatusName(a.status);
    EXPECT_TRUE(a.output == result);
    EXPECT_TRUE(ReferenceApplyDelta({}, LzDelta(result, ok).Build()).ok);

    // rep1 and rep2 move their distance to the front: distances 1, then 2, then rep1 (1).
    const Bytes reps = LzStream({'x', 'y'}, {1, 1, 0}, {0, 0, 0}, {3, 4, 1}, {});
    const std::string r = "xxxyxyyy";
    const Bytes repResult(r.begin(), r.end());
    a = Apply({}, LzDelta(repResult, reps).Build(), repResult.size());
    EXPECT_EQ(kDeltaOk, a.status) << DeltaStatusName(a.status);
    EXPECT_TRUE(a.output == repResult);

    struct Case {
        const char* what;
        Bytes result;
        Bytes stream;
    };
    const Bytes five(5, 'a');
    const std::vector<Case> cases = {
        {"copy before the stream's start", Bytes(3, 'a'), LzStream({'a'}, {1}, {0}, {4}, {})},
        {"copy past the stream's end", Bytes(3, 'a'), LzStream({'a'}, {1}, {1}, {3}, {})},
        {"literal run past the literals", five, LzStream({'a'}, {2}, {1}, {3}, {})},
        {"literals left over", five, LzStream({'a', 'a'}, {1}, {2}, {3}, {})},
        {"offset code past the last", five, LzStream({'a'}, {1}, {1}, {53}, {})},
        {"length code past the last", five, LzStream({'a'}, {1}, {37}, {3}, {})},
        {"extra bits missing", five, LzStream({'a'}, {1}, {16}, {3}, {})},
        {"extra byte left over", five, LzStream({'a'}, {1}, {2}, {3}, {0})},
        {"padding bit set", Bytes(19, 'a'), LzStream({'a'}, {1}, {16}, {3}, {0x10})},
        {"code parts of different lengths", five, LzStream({'a'}, {1}, {2, 0}, {3}, {})},
    };
    for (const Case& k : cases) {
        const Bytes delta = LzDelta(k.result, k.stream).Build();
        Applied bad = Apply({}, delta, k.result.size());
        EXPECT_NE(kDeltaOk, bad.status) << k.what;
        EXPECT_FALSE(ReferenceApplyDelta({}, delta).ok) << k.what;
    }
    // A part in a method other than stored or entropy.
    Bytes nested = ok;
    nested[0] = kStreamLz;
    EXPECT_EQ(kDeltaCorrupt, Apply({}, LzDelta(result, nested).Build(), result.size()).status);
    EXPECT_FALSE(ReferenceApplyDelta({}, LzDelta(result, nested).Build()).ok);

    // The parts are kept beside the window's streams: a scratch buffer with room for the
    // streams alone is too small.
    const Bytes delta = LzDelta(result, ok).Build();
    Bytes out(result.size());
    const size_t streams = 3 + result.size(); // the ops (one), nothing else, the literals
    Bytes scratch(kDeltaIoScratchSize + streams + 5);
    size_t produced;
    EXPECT_EQ(kDeltaScratchTooSmall,
              ApplyDelta(nullptr, 0, delta.data(), delta.size(), out.data(), out.size(),
                         scratch.data(), scratch.size(), &produced));
}

// The encoder's lz streams on data of different kinds: each decodes to its input through the
// applier and the reference, and repeated content shrinks.
TEST(DeltaLz, EncodedStreamsRoundTrip) {
    std::mt19937 rng(17);
    std::vector<Bytes> inputs;
    std::string text;
    const char* words[] = {"delta ", "window ", "stream ", "literal ", "copy ", "the ", "of "};
    while (text.size() < 200000)
        text += words[rng() % 7];
    inputs.push_back(Bytes(text.begin(), text.end()));
    inputs.push_back(Random(rng, 50000));
    inputs.push_back(Bytes(70000, 0x41));
    inputs.push_back(CodeLike(rng, 30000, 0));
    Bytes mixed = Random(rng, 3000);
    for (int i = 0; i < 200; ++i) { // short repeats at every distance
        const size_t from = rng() % (mixed.size() - 10);
        const Bytes piece(mixed.begin() + (long)from, mixed.begin() + (long)(from + 3 + rng() % 7));
        mixed.insert(mixed.end(), piece.begin(), piece.end());
        const Bytes noise = Random(rng, rng() % 20);
        mixed.insert(mixed.end(), noise.begin(), noise.end());
    }
    inputs.push_back(mixed);
    inputs.push_back({1, 2, 3});
    for (size_t i = 0; i < inputs.size(); ++i) {
        Bytes stream;
        size_t partsSize = 0;
        EncodeLzStream(inputs[i].data(), inputs[i].size(), &stream, &partsSize);
        EXPECT_LE(partsSize, inputs[i].size() * 2 + 64) << "input " << i;
        const Bytes delta = LzDelta(inputs[i], stream).Build();
        Applied a = Apply({}, delta, inputs[i].size());
        EXPECT_EQ(kDeltaOk, a.status) << "input " << i << ": " << DeltaStatusName(a.status);
        EXPECT_TRUE(a.output == inputs[i]) << "input " << i;
        ReferenceDelta ref = ReferenceApplyDelta({}, delta);
        EXPECT_TRUE(ref.ok && ref.output == inputs[i]) << "input " << i;
        if (i == 0 || i == 2) {
            EXPECT_LT(stream.size(), inputs[i].size() / 8) << "input " << i;
        }
        if (i == 1) {
            EXPECT_LT(stream.size(), inputs[i].size() + 200) << "random data costs little more";
        }
    }
}

// Compressed data: the new file shares only short islands with the base, at one alignment,
// between stretches that differ entirely. Each island is worth a copy, and a delta of data
// that shares nothing costs hardly more than the data.
TEST(DeltaRoundTrip, ShortIslandsInCompressedData) {
    std::mt19937 rng(23);
    const Bytes base = Random(rng, 200000);
    Bytes data = Random(rng, 3000);
    size_t islands = 0, shared = 0;
    for (size_t at = 2000; at + 600 < base.size(); at += 300 + rng() % 600) {
        const size_t len = 12 + rng() % 20;
        data.insert(data.end(), base.begin() + (long)at, base.begin() + (long)(at + len));
        const Bytes gap = Random(rng, 300 + rng() % 400);
        data.insert(data.end(), gap.begin(), gap.end());
        ++islands;
        shared += len;
    }
    const Bytes delta = ExpectRoundTrip(base, data, "islands");
    EXPECT_LT(delta.size() + shared / 2, data.size())
        << islands << " islands of " << shared << " bytes in all";
    const Bytes unrelated = Random(rng, 300000);
    const Bytes none = ExpectRoundTrip(base, unrelated, "nothing shared");
    EXPECT_LT(none.size(), unrelated.size() + 150);
}

// Large bases are searched through a table of block hashes, read through windows of the base
// that the encoder lets go as it moves on. Forced here on small files: each case round-trips
// through the applier and stays within its size bound, and the pages were let go on the way.
TEST(DeltaRoundTrip, BlockTableSearch) {
    std::mt19937 rng(31);
    const Bytes base = Random(rng, 6u << 20); // more than one window of output
    const size_t block = 64 << 10;
    struct Case {
        const char* what;
        Bytes data;
        size_t maxDelta;
    };
    std::vector<Case> cases;
    cases.push_back({"identical", base, 2000});
    Bytes moved; // blocks of the base in another order, read from far apart
    for (size_t k = 0; k < base.size() / block; ++k) {
        const size_t from = ((k * 37) % (base.size() / block)) * block;
        moved.insert(moved.end(), base.begin() + (long)from, base.begin() + (long)(from + block));
    }
    cases.push_back({"blocks moved", moved, 4000});
    Bytes edited = base;
    for (int i = 0; i < 200; ++i)
        edited[rng() % edited.size()] ^= (uint8_t)(1 + rng() % 255);
    const Bytes fresh = Random(rng, 100000);
    edited.insert(edited.begin() + 3000001, fresh.begin(), fresh.end());
    edited.erase(edited.begin() + 5000003, edited.begin() + 5100000);
    cases.push_back({"edits, an insertion and a removal", edited, fresh.size() + 4000});
    // Matches that start between blocks, and one shorter than two blocks: the table names the
    // block inside, and the extension backwards finds the start.
    Bytes pieces;
    for (size_t at = 1001; at + 5000 < base.size(); at += 777777) {
        pieces.insert(pieces.end(), base.begin() + (long)at, base.begin() + (long)(at + 4000));
        pieces.push_back(0x5A);
    }
    cases.push_back({"pieces off the blocks", pieces, pieces.size() / 10});
    cases.push_back({"unrelated", Random(rng, 300000), 300000 + 200});
    // New content longer than the encoder keeps in hand behind its scan, then old content.
    Bytes longNew = Random(rng, 17u << 20);
    longNew.insert(longNew.end(), base.begin() + (1 << 20), base.begin() + (3 << 20));
    cases.push_back({"long new stretch, then old", longNew, (17u << 20) + 8000});
    cases.push_back({"empty", {}, 100});
    const Bytes tail(base.end() - 13, base.end());
    cases.push_back({"shorter than a block", tail, 100});

    for (const Case& c : cases) {
        size_t releases = 0;
        DeltaEncodeOptions options;
        options.wholeSearchLimit = 0;
        options.blockSize = 32;
        options.releaseEvery = 1 << 20;
        options.release = [&releases]() { ++releases; };
        Bytes delta;
        ASSERT_EQ(1, EncodeDelta(base.data(), base.size(), c.data.data(), c.data.size(), options,
                                 &delta));
        const Applied a = Apply(base, delta, c.data.size());
        EXPECT_EQ(kDeltaOk, a.status) << c.what << ": " << DeltaStatusName(a.status);
        EXPECT_TRUE(a.output == c.data) << c.what;
        EXPECT_LE(delta.size(), c.maxDelta) << c.what;
        // The pass over the base lets go after each of its six MiB.
        EXPECT_GE(releases, 6u) << c.what;
    }
    // A base that is not a whole number of blocks or check words, and no base at all.
    const Bytes odd(base.begin(), base.begin() + 100003);
    Bytes oddData(odd.begin() + 50000, odd.end());
    oddData.insert(oddData.end(), odd.begin(), odd.begin() + 50000);
    DeltaEncodeOptions options;
    options.wholeSearchLimit = 0;
    for (const Bytes* b : {&odd, &tail}) {
        Bytes delta;
        ASSERT_EQ(
            1, EncodeDelta(b->data(), b->size(), oddData.data(), oddData.size(), options, &delta));
        const Applied a = Apply(*b, delta, oddData.size());
        EXPECT_EQ(kDeltaOk, a.status) << b->size() << ": " << DeltaStatusName(a.status);
        EXPECT_TRUE(a.output == oddData) << b->size();
    }
}

// Files of several hundred megabytes: base positions past 2^28, many windows, the block table. It
// takes a few minutes under the sanitizers, so CTest runs it as a test of its own
// (delta_large_round_trip, which sets DELTA_LARGE_TEST=1); in the list of all cases it is skipped.
TEST(DeltaRoundTrip, SeveralHundredMegabytes) {
    if (!getenv("DELTA_LARGE_TEST"))
        GTEST_SKIP() << "set DELTA_LARGE_TEST=1 to run";
    std::mt19937 rng(77);
    const size_t size = 300u << 20;
    // Random words (quick to sort by suffix), with runs of one value here and there.
    Bytes base(size);
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (size_t i = 0; i + 8 <= size; i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        const uint64_t word = (i >> 20) % 16 == 5 ? 0 : x;
        memcpy(&base[i], &word, 8);
    }
    Bytes data = base;
    for (int i = 0; i < 1000; ++i)
        data[rng() % size] ^= (uint8_t)(1 + rng() % 255);
    const Bytes block = Random(rng, 1 << 20);
    data.insert(data.begin() + (long)(size / 3), block.begin(), block.end());
    data.erase(data.begin() + (long)(size / 2), data.begin() + (long)(size / 2 + (2 << 20)));
    const Bytes moved(data.end() - (16 << 20), data.end());
    data.insert(data.begin() + (long)(size / 5), moved.begin(), moved.end());
    Bytes delta = Encode(base, data);
    Applied a = Apply(base, delta, data.size());
    EXPECT_EQ(kDeltaOk, a.status) << DeltaStatusName(a.status);
    EXPECT_TRUE(a.output == data);
    // The new block, and a few ops for each edit and move.
    EXPECT_LT(delta.size(), block.size() + 64 * 1024);
    printf("%zu-byte result from a %zu-byte delta\n", data.size(), delta.size());
}

// Deltas with modeled streams from the real encoder, through the fast applier and the
// reference, with and without the flag: text, scattered edits, windows whose streams copy from
// earlier windows' history, and an unchanged file whose windows are all copies of the base.
TEST(DeltaModeled, RoundTripsThroughBothAppliers) {
    std::mt19937 rng(41);
    std::string words;
    const char* vocabulary[] = {"base ", "window ", "model ", "literal ", "copy ", "the ", "of "};
    while (words.size() < 120000)
        words += vocabulary[rng() % 7];
    const Bytes text(words.begin(), words.end());
    Bytes editedText = text;
    for (int i = 0; i < 40; ++i) {
        const size_t at = rng() % (editedText.size() - 20);
        editedText.insert(editedText.begin() + (long)at, text.begin() + (long)(at / 2),
                          text.begin() + (long)(at / 2 + 15));
    }
    const Bytes binary = Random(rng, 200000);
    Bytes scattered = binary;
    for (int i = 0; i < 300; ++i)
        scattered[rng() % scattered.size()] ^= (uint8_t)(1 + rng() % 255);
    // The same new words in each window: a later window's literals copy an earlier one's.
    const Bytes big = Random(rng, 9u << 20);
    Bytes windows = big;
    for (size_t w = 0; w < 3; ++w)
        windows.insert(windows.begin() + (long)(w * kDeltaMaxWindowOutput + 100000), text.begin(),
                       text.begin() + 3000);
    struct Case {
        const char* what;
        const Bytes* base;
        const Bytes* data;
        bool allCopies;
    };
    const Case cases[] = {{"text", &text, &editedText, false},
                          {"scattered edits", &binary, &scattered, false},
                          {"several windows", &big, &windows, false},
                          {"unchanged, several windows", &big, &big, true}};
    for (const Case& c : cases) {
        for (bool modeled : {true, false}) {
            DeltaEncodeOptions options;
            options.modeled = modeled;
            Bytes delta;
            ASSERT_EQ(1, EncodeDelta(c.base->data(), c.base->size(), c.data->data(), c.data->size(),
                                     options, &delta));
            DeltaInfo info;
            ASSERT_EQ(kDeltaOk, ReadDeltaInfo(delta.data(), delta.size(), &info)) << c.what;
            EXPECT_EQ(modeled ? kDeltaFlagModeled : 0, info.flags) << c.what;
            const Applied a = Apply(*c.base, delta, c.data->size());
            EXPECT_EQ(kDeltaOk, a.status) << c.what << ": " << DeltaStatusName(a.status);
            EXPECT_TRUE(a.output == *c.data) << c.what;
            const ReferenceDelta ref = ReferenceApplyDelta(*c.base, delta);
            EXPECT_TRUE(ref.ok && ref.output == *c.data) << c.what << ", modeled " << modeled;
            if (modeled && c.allCopies) {
                EXPECT_EQ(info.windowCount, ref.copiedWindows) << c.what;
            } else if (modeled) {
                EXPECT_GT(ref.modeledStreams, 0u) << c.what;
            }
        }
    }
}

// Hand-made deltas with the modeled flag and compact window headers, each stream either stored
// or coded by the encoder's modeled coder, whose state runs from window to window as the
// applier's does.
struct CompactWindow {
    uint64_t outputSize;
    int64_t move; // of basePos from where the last window's ops left the base
    Bytes streams[kDeltaStreamCount];
    unsigned modeled = 0; // streams coded modeled, a bit each
    int described = -1;   // the byte of streams described; -1: the streams that are not empty
    int storedChange[kDeltaStreamCount] = {}; // -1 drops a stored byte, 1 adds a zero
};

Bytes BuildCompact(const Bytes& base, const Bytes& result,
                   const std::vector<CompactWindow>& windows, uint64_t flags = kDeltaFlagModeled,
                   const Bytes& unseenLiterals = {}) {
    Bytes d = DeltaHeader(flags, base, result, windows.size());
    ModeledStreamEncoder coders[kDeltaStreamCount];
    // History the applier never sees, so that copies into it reach before its history.
    coders[kDeltaStreamLiterals].Append(unseenLiterals.data(), unseenLiterals.size());
    for (const CompactWindow& w : windows) {
        PutVarint(&d, w.outputSize);
        PutVarint(&d, ZigzagEncode(w.move));
        unsigned described = 0;
        for (uint32_t s = 0; s < kDeltaStreamCount; ++s)
            described |= (w.streams[s].empty() ? 0u : 1u) << s;
        if (w.described >= 0)
            described = (unsigned)w.described;
        d.push_back((uint8_t)described);
        Bytes body;
        for (uint32_t s = 0; s < kDeltaStreamCount; ++s) {
            const Bytes& stream = w.streams[s];
            Bytes stored;
            const bool modeled = w.modeled >> s & 1;
            if (modeled)
                coders[s].Encode(stream.data(), stream.size(), &stored);
            else {
                stored = stream;
                coders[s].Append(stream.data(), stream.size());
            }
            if (w.storedChange[s] < 0)
                stored.pop_back();
            if (w.storedChange[s] > 0)
                stored.push_back(0);
            if (!(described >> s & 1))
                continue;
            d.push_back(modeled ? kStreamModeled : kStreamStored);
            PutVarint(&d, stream.size());
            PutVarint(&d, stored.size());
            body.insert(body.end(), stored.begin(), stored.end());
        }
        d.insert(d.end(), body.begin(), body.end());
    }
    return d;
}

Bytes Slice(const Bytes& b, size_t from, size_t size) {
    return Bytes(b.begin() + (long)from, b.begin() + (long)(from + size));
}

TEST(DeltaModeled, CompactWindowsAndEachRefusal) {
    std::string words;
    std::mt19937 rng(3);
    while (words.size() < 300)
        words += std::string("window ") + (char)('a' + rng() % 26) + " ";
    const Bytes base(words.begin(), words.end());
    const Bytes first(base.begin() + 7, base.begin() + 47);
    Bytes second = first; // the first window's literals again, but for two bytes
    second[3] ^= 0x20;
    second[30] ^= 0x20;
    const auto insert = [](uint8_t n) { return (uint8_t)(kDeltaOpInsert | (n - 1) << 2); };
    const auto copy = [](uint8_t n) { return (uint8_t)(kDeltaOpCopy | (n - 1) << 2); };
    const auto add = [](uint8_t n) { return (uint8_t)(kDeltaOpAdd | (n - 1) << 2); };
    const unsigned ops = 1u << kDeltaStreamOps, literals = 1u << kDeltaStreamLiterals;
    std::vector<CompactWindow> w(5);
    // Literals alone; then a copy from base position 10 and the literals once more (copies
    // from the first window's history); a window of the base from 35, 5 back from where the
    // last one left it; added differences from 60, where that one left it; and the base from
    // 68 again, with an empty modeled stream (the coder's start alone).
    w[0] = {40, 0, {{insert(40)}, {}, {}, {}, first}, ops | literals};
    w[1] = {70, 10, {{copy(30), insert(40)}, {}, {}, {}, second}, ops | literals};
    w[2] = {25, -5, {}};
    w[3] = {12,
            0,
            {{add(8), insert(4)}, {}, {}, {1, 2, 3, 4, 5, 6, 7, 8}, {'w', 'x', 'y', 'z'}},
            literals};
    w[4] = {20, 0, {}, 1u << kDeltaStreamSeeks, 1 << kDeltaStreamSeeks};
    Bytes result = first;
    for (const Bytes& piece : {Slice(base, 10, 30), second, Slice(base, 35, 25)})
        result.insert(result.end(), piece.begin(), piece.end());
    for (size_t i = 0; i < 8; ++i)
        result.push_back((uint8_t)(base[60 + i] + i + 1));
    for (const Bytes& piece : {Bytes{'w', 'x', 'y', 'z'}, Slice(base, 68, 20)})
        result.insert(result.end(), piece.begin(), piece.end());

    const Bytes good = BuildCompact(base, result, w);
    Applied a = Apply(base, good, result.size());
    ASSERT_EQ(kDeltaOk, a.status) << DeltaStatusName(a.status);
    EXPECT_TRUE(a.output == result);
    const ReferenceDelta ref = ReferenceApplyDelta(base, good);
    EXPECT_TRUE(ref.ok && ref.output == result);
    EXPECT_EQ(2u, ref.copiedWindows);
    EXPECT_EQ(6u, ref.modeledStreams);

    struct Case {
        const char* what;
        std::vector<CompactWindow> windows;
        DeltaStatus expected;
        uint64_t flags;
        Bytes unseen;
        Bytes result;
    };
    std::vector<Case> cases;
    const auto change = [&](const char* what, DeltaStatus expected, size_t window,
                            const std::function<void(CompactWindow*)>& edit) {
        Case c{what, w, expected, kDeltaFlagModeled, {}, result};
        edit(&c.windows[window]);
        cases.push_back(c);
    };
    cases.push_back(
        {"an unknown flag bit", w, kDeltaUnsupported, kDeltaFlagModeled | 2, {}, result});
    change("a stream described by bit 5", kDeltaCorrupt, 1,
           [](CompactWindow* x) { x->described = 0x20 | 0x11; });
    change("a modeled stream cut short", kDeltaCorrupt, 1,
           [](CompactWindow* x) { x->storedChange[kDeltaStreamLiterals] = -1; });
    change("a modeled stream with a byte left over", kDeltaCorrupt, 1,
           [](CompactWindow* x) { x->storedChange[kDeltaStreamLiterals] = 1; });
    change("modeled ops cut short", kDeltaCorrupt, 0,
           [](CompactWindow* x) { x->storedChange[kDeltaStreamOps] = -1; });
    change("an empty modeled stream without the coder's start", kDeltaCorrupt, 4,
           [](CompactWindow* x) { x->storedChange[kDeltaStreamSeeks] = -1; });
    change("basePos moved before the base", kDeltaBaseRange, 0,
           [](CompactWindow* x) { x->move = -1; });
    change("basePos moved past the base", kDeltaBaseRange, 2,
           [&](CompactWindow* x) { x->move = (int64_t)base.size() - 39; });
    change("a window of the base past its end", kDeltaBaseRange, 4,
           [&](CompactWindow* x) { x->move = (int64_t)base.size() - 68 - 19; });
    // The literals copy from bytes that only the encoder had in its history.
    cases.push_back({"a copy before the history",
                     {w[0]},
                     kDeltaCorrupt,
                     kDeltaFlagModeled,
                     Slice(base, 7, 93),
                     first});
    for (const Case& c : cases) {
        const Bytes delta = BuildCompact(base, c.result, c.windows, c.flags, c.unseen);
        EXPECT_EQ(c.expected, Apply(base, delta, c.result.size()).status) << c.what;
        EXPECT_FALSE(ReferenceApplyDelta(base, delta).ok) << c.what;
    }

    // The coder states live in the scratch buffer, after what a delta without them needs.
    Bytes out(result.size());
    Bytes scratch(kDeltaScratchSize - 1);
    size_t produced;
    EXPECT_EQ(kDeltaScratchTooSmall,
              ApplyDelta(base.data(), base.size(), good.data(), good.size(), out.data(), out.size(),
                         scratch.data(), scratch.size(), &produced));
    DeltaEncodeOptions unmodeled;
    unmodeled.modeled = false;
    Bytes plain;
    ASSERT_EQ(
        1, EncodeDelta(base.data(), base.size(), result.data(), result.size(), unmodeled, &plain));
    EXPECT_EQ(kDeltaOk,
              ApplyDelta(base.data(), base.size(), plain.data(), plain.size(), out.data(),
                         out.size(), scratch.data(), kDeltaModelScratchOffset, &produced));
}

// Copies reach back kDeltaModelHistory bytes before their stream's start and no further: the
// last window's literals repeat the start of the first window's, which a window in between
// leaves in reach when it copies the base, and out of reach when its 64 bytes are literals.
TEST(DeltaModeled, HistoryReachesItsLimitExactly) {
    std::mt19937 rng(13);
    const Bytes far = Random(rng, kDeltaModelHistory), middle = Random(rng, 64);
    const Bytes piece(far.begin(), far.begin() + 64);
    Bytes farOps = {(uint8_t)(kDeltaOpInsert | kDeltaOpLongCode << 2)}, farLength;
    PutVarint(&farLength, far.size() - 64);
    const Bytes ops64 = {(uint8_t)(kDeltaOpInsert | 62 << 2), kDeltaOpInsert};
    size_t sizes[2];
    for (bool beyond : {false, true}) {
        std::vector<CompactWindow> w;
        w.push_back({far.size(), 0, {farOps, farLength, {}, {}, far}});
        w.push_back(beyond ? CompactWindow{64, 0, {ops64, {}, {}, {}, middle}}
                           : CompactWindow{64, 0, {}, 0});
        w.push_back({64, 0, {ops64, {}, {}, {}, piece}, 1u << kDeltaStreamLiterals});
        Bytes result = far;
        result.insert(result.end(), middle.begin(), middle.end());
        result.insert(result.end(), piece.begin(), piece.end());
        const Bytes delta = BuildCompact(middle, result, w);
        const Applied a = Apply(middle, delta, result.size());
        EXPECT_EQ(kDeltaOk, a.status) << beyond << ": " << DeltaStatusName(a.status);
        EXPECT_TRUE(a.output == result) << beyond;
        const ReferenceDelta ref = ReferenceApplyDelta(middle, delta);
        EXPECT_TRUE(ref.ok && ref.output == result) << beyond;
        sizes[beyond] = delta.size() - (beyond ? middle.size() : 0);
    }
    // In reach the piece is one copy; beyond, its 64 bytes are coded as literals.
    EXPECT_GT(sizes[1], sizes[0] + 40) << sizes[0];
}

} // namespace

// A base known only by its sample: never read for its check, and a base of the right size but
// other bytes is told as another base, not as a damaged delta. The result's check is the same
// whether the applier computes it or leaves it to the caller, whose wrong value fails the delta.
TEST(DeltaStream, BaseProvenByResult) {
    std::mt19937 rng(31);
    const Bytes base = Random(rng, 300000);
    Bytes data(base.begin(), base.begin() + 150000); // the base's second half is not used
    data[1000] ^= 1;
    data.insert(data.begin() + 100000, 5000, 'y');
    const Bytes delta = Encode(base, data);
    Bytes other(base);
    other[120000] ^= 0x40; // inside a stretch the delta copies
    static Bytes scratch(kDeltaScratchSize);
    struct Row {
        const Bytes* base;
        const uint64_t* check;
        DeltaStatus expected;
        bool callerChecks;
        uint64_t checkError;
    } rows[] = {{&base, kDeltaBaseProvenByResult, kDeltaOk, false, 0},
                {&other, kDeltaBaseProvenByResult, kDeltaBaseMismatch, false, 0},
                {&base, nullptr, kDeltaOk, false, 0},
                {&other, nullptr, kDeltaBaseMismatch, false, 0},
                {&base, kDeltaBaseProvenByResult, kDeltaOk, true, 0},
                {&other, kDeltaBaseProvenByResult, kDeltaBaseMismatch, true, 0},
                {&base, nullptr, kDeltaCorrupt, true, 1u << 20}};
    for (const Row& r : rows) {
        MemoryStream s{r.base, &delta, 0, delta.size(), 0, 0, 0, {}, r.checkError};
        DeltaIo each = MemoryStreamIo(&s);
        if (r.callerChecks)
            each.resultCheck = CallersCheck;
        uint64_t produced = 0;
        EXPECT_EQ(r.expected, ApplyDeltaStream(each, base.size(), r.check, scratch.data(),
                                               scratch.size(), &produced));
        if (r.expected == kDeltaOk) {
            EXPECT_TRUE(s.out == data);
        }
        // Read for its check, the base passes whole before the first window.
        if (r.check)
            EXPECT_LT(s.baseRead, base.size()) << "proven by its result, read only where copied";
        else
            EXPECT_GE(s.baseRead, base.size());
    }
}
