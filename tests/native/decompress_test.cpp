#include "archive/decompress.h"

#include <gtest/gtest.h>

#include <string.h>

#include <random>
#include <vector>

#include "support/reference_decoder.h"
#include "support/stream_builder.h"

namespace {

// Decodes from a heap copy of exactly the stream's size, so that ASan sees any overread, into
// a buffer of exactly the given capacity.
struct Decoded {
    DecodeStatus status;
    std::vector<uint8_t> out;
    size_t consumed;
};

Decoded Decode(const std::vector<uint8_t>& stream, size_t capacity) {
    std::vector<uint8_t> in(stream);
    std::vector<uint8_t> out(capacity);
    size_t produced = 0, consumed = 0;
    DecodeStatus s =
        DecompressBlock(out.data(), out.size(), in.data(), in.size(), &produced, &consumed);
    out.resize(produced);
    return {s, out, consumed};
}

std::vector<uint8_t> Text(const char* s) {
    return std::vector<uint8_t>(s, s + strlen(s));
}

// Streams made by hand, each for one form of token or one place the flag words fall; a valid
// one is read to its last byte, a copy from before the start is refused.
TEST(Decompress, HandMadeStreams) {
    StreamBuilder second, between;
    std::vector<uint8_t> alphabet;
    for (int i = 0; i < 32; ++i) {
        second.Bits("1").Byte((uint8_t)('A' + i));
        alphabet.push_back((uint8_t)('A' + i));
    }
    // 30 literals leave two bits: "0 1" of a short copy; F comes from the next word, which the
    // decoder must read before the copy's data byte.
    for (int i = 0; i < 30; ++i)
        between.Bits("1").Byte('z');
    between.Bits("01").Bits("0").Byte(0);
    std::vector<uint8_t> far2303(2303, 0);
    for (size_t i = 0; i < far2303.size(); ++i)
        far2303[i] = (uint8_t)(i * 7 + i / 256);
    StreamBuilder farStream;
    for (uint8_t c : far2303)
        farStream.Bits("1").Byte(c);
    farStream.Bits("01 1").Byte(255).Bits("110");
    std::vector<uint8_t> farExpected = far2303;
    farExpected.push_back(far2303[0]);
    farExpected.push_back(far2303[1]);
    struct Case {
        const char* what;
        std::vector<uint8_t> stream;
        std::vector<uint8_t> expected;
        DecodeStatus status = kDecodeOk;
        size_t capacity = 0; // a refusal's; else the expected size
    };
    const Case cases[] = {
        {"empty", {0x00, 0x00, 0x00, 0x7C, 0xFF}, {}},
        {"worked: abc three times",
         {0x00, 0x80, 0x6F, 0xE4, 0x61, 0x62, 0x63, 0x01, 0xFF},
         Text("abcabcabc")},
        // Word, 32 literal bytes, then the second word, then the marker's data byte.
        {"second flag word after the 32nd literal", second.End().Done(), alphabet},
        {"flag word between a token's bits and its byte", between.End().Done(),
         std::vector<uint8_t>(32, 'z')},
        {"long copy D=1 N=282",
         StreamBuilder()
             .Bits("1")
             .Byte('x')
             .Bits("00 1")
             .Byte(0)
             .Bits("0 00000")
             .Byte(255)
             .End()
             .Done(),
         std::vector<uint8_t>(283, 'x')},
        {"short copy F=0 B=0",
         StreamBuilder().Bits("1").Byte('q').Bits("01 0").Byte(0).End().Done(), Text("qqq")},
        {"short copy D=2303", farStream.End().Done(), farExpected},
        {"two-byte pattern",
         StreamBuilder()
             .Bits("1")
             .Byte('a')
             .Bits("1")
             .Byte('b')
             .Bits("00 1")
             .Byte(0)
             .Bits("1 0001 11")
             .End()
             .Done(),
         Text("abababababab")},
        // X = 1 1 0 is a copy from distance 2303, which reaches before the start here.
        {"only the exact marker ends the stream",
         StreamBuilder().Bits("1").Byte('a').Bits("011").Byte(255).Bits("110").End().Done(),
         {},
         kDecodeBadDistance,
         16},
        {"a short copy before the start",
         StreamBuilder().Bits("010").Byte(0).End().Done(),
         {},
         kDecodeBadDistance,
         8},
        {"a long copy before the start",
         StreamBuilder().Bits("1").Byte('a').Bits("00 1").Byte(0).Bits("1 1").End().Done(),
         {},
         kDecodeBadDistance,
         8},
    };
    ASSERT_EQ(4u + 32 + 4 + 1, cases[2].stream.size());
    EXPECT_EQ(0x7Cu, cases[2].stream[39]);
    for (const Case& c : cases) {
        Decoded d = Decode(c.stream, c.status == kDecodeOk ? c.expected.size() : c.capacity);
        EXPECT_EQ(c.status, d.status) << c.what;
        if (c.status == kDecodeOk) {
            EXPECT_EQ(c.expected, d.out) << c.what;
            EXPECT_EQ(c.stream.size(), d.consumed) << c.what;
        }
    }
}

TEST(Decompress, EveryOffsetAndLengthCode) {
    // 8192 bytes of history, then one long copy for each distance class and length class.
    std::vector<uint8_t> history(8192);
    std::mt19937 rng(7);
    for (uint8_t& c : history)
        c = (uint8_t)rng();
    const size_t distances[] = {1,    2,    3,    4,    7,    8,    512, 513,
                                1024, 1025, 2048, 2049, 4096, 4097, 8192};
    const size_t lengths[] = {3, 4, 5, 6, 7, 10, 11, 26, 27, 282};
    for (size_t dist : distances) {
        for (size_t len : lengths) {
            StreamBuilder b;
            for (uint8_t c : history)
                b.Bits("1").Byte(c);
            b.LongCopy(dist, len);
            std::vector<uint8_t> expected = history;
            for (size_t i = 0; i < len; ++i)
                expected.push_back(expected[expected.size() - dist]);
            Decoded d = Decode(b.End().Done(), expected.size());
            EXPECT_EQ(kDecodeOk, d.status) << "D=" << dist << " N=" << len;
            EXPECT_EQ(expected, d.out) << "D=" << dist << " N=" << len;
        }
    }
}

std::vector<uint8_t> SampleStream(size_t* decodedSize) {
    // Literals, near and far short copies and long copies of every class, a few hundred bytes.
    StreamBuilder b;
    for (int i = 0; i < 600; ++i)
        b.Bits("1").Byte((uint8_t)(i * 31));
    b.Bits("01 0").Byte(9).Bits("01 1").Byte(3).Bits("101");
    b.Bits("00 1").Byte(5).Bits("0 0001 10");
    b.Bits("00 01").Byte(0).Bits("1 00000").Byte(40);
    b.End();
    *decodedSize = 600 + 2 + 2 + 9 + 67;
    return b.Done();
}

TEST(Decompress, EveryShorterInputIsTruncated) {
    size_t size;
    std::vector<uint8_t> stream = SampleStream(&size);
    ASSERT_EQ(kDecodeOk, Decode(stream, size).status);
    for (size_t cut = 0; cut < stream.size(); ++cut) {
        std::vector<uint8_t> prefix(stream.begin(), stream.begin() + cut);
        EXPECT_EQ(kDecodeTruncated, Decode(prefix, size).status) << "cut at " << cut;
    }
}

TEST(Decompress, ExactOutputSizeIsRequired) {
    size_t size;
    std::vector<uint8_t> stream = SampleStream(&size);
    std::vector<uint8_t> buffer(size + 1);
    EXPECT_EQ(1, Decompress(buffer.data(), size, stream.data(), stream.size()));
    EXPECT_EQ(0, Decompress(buffer.data(), size + 1, stream.data(), stream.size())) << "fewer";
    for (size_t capacity = 0; capacity < size; ++capacity) {
        // Canary bytes behind the buffer must survive a stream that wants more room.
        std::vector<uint8_t> out(capacity + 64, 0xA5);
        size_t produced = 0;
        EXPECT_EQ(kDecodeOverflow, DecompressBlock(out.data(), capacity, stream.data(),
                                                   stream.size(), &produced, nullptr))
            << "capacity " << capacity;
        EXPECT_LE(produced, capacity);
        for (size_t i = capacity; i < out.size(); ++i)
            ASSERT_EQ(0xA5, out[i]) << "capacity " << capacity << " byte " << i;
    }
}

// A random but valid stream using every token form, built by hand.
std::vector<uint8_t> RandomStream(std::mt19937& rng, size_t* decodedSize) {
    StreamBuilder b;
    size_t produced = 0;
    const int tokens = 1 + (int)(rng() % 400);
    for (int t = 0; t < tokens; ++t) {
        const unsigned kind = produced == 0 ? 0 : rng() % 4;
        if (kind <= 1) {
            b.Bits("1").Byte((uint8_t)rng());
            produced += 1;
        } else if (kind == 2) {
            const size_t dist = 1 + rng() % (produced < 2303 ? produced : 2303);
            if (dist <= 256) {
                b.Bits("010").Byte((uint8_t)(dist - 1));
            } else {
                const unsigned v = (unsigned)(dist - 257);
                b.Bits("011").Byte((uint8_t)(v >> 3)).Value(v & 7, 3);
            }
            produced += 2;
        } else {
            const size_t dist = 1 + rng() % (produced < 8192 ? produced : 8192);
            const size_t lengths[] = {
                3, 4, 5 + rng() % 2, 7 + rng() % 4, 11 + rng() % 16, 27 + rng() % 256};
            const size_t len = lengths[rng() % 6];
            b.LongCopy(dist, len);
            produced += len;
        }
    }
    *decodedSize = produced;
    return b.End().Done();
}

TEST(Decompress, AgreesWithTheReferenceOnRandomAndDamagedStreams) {
    // Valid streams must decode alike; damaged copies of them exercise every refusal, and
    // wherever one decoder succeeds the other must succeed with the same bytes.
    std::mt19937 rng(12345);
    int damagedDecoded = 0;
    for (int round = 0; round < 3000; ++round) {
        size_t size;
        std::vector<uint8_t> stream = RandomStream(rng, &size);
        ReferenceResult ref = ReferenceDecode(stream.data(), stream.size(), size);
        Decoded fast = Decode(stream, size);
        ASSERT_EQ(kDecodeOk, ref.status) << "round " << round;
        ASSERT_EQ(kDecodeOk, fast.status) << "round " << round;
        ASSERT_EQ(ref.output, fast.out) << "round " << round;
        for (int damage = 0; damage < 4; ++damage) {
            std::vector<uint8_t> bad = stream;
            bad[rng() % bad.size()] ^= (uint8_t)(1u << (rng() % 8));
            const size_t capacity = size + rng() % 16;
            ReferenceResult r = ReferenceDecode(bad.data(), bad.size(), capacity);
            Decoded f = Decode(bad, capacity);
            ASSERT_EQ(r.status == kDecodeOk, f.status == kDecodeOk) << "round " << round;
            if (r.status == kDecodeOk) {
                ASSERT_EQ(r.output, f.out) << "round " << round;
                ++damagedDecoded;
            }
        }
    }
    EXPECT_GT(damagedDecoded, 100);
}

} // namespace
