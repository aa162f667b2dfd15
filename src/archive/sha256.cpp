#include "archive/sha256.h"

#include <atomic>

#include <string.h>

#if defined(__x86_64__) || defined(__i386__)
#define SHA256_HAVE_X86 1
#include <cpuid.h>
#include <immintrin.h>
#else
#define SHA256_HAVE_X86 0
#endif

namespace {

const uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

const uint32_t kInitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

inline uint32_t Rotr(uint32_t x, unsigned n) {
    return (x >> n) | (x << (32 - n));
}

inline uint32_t LoadBE32(const uint8_t* p) {
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}

// Hashes `blocks` whole 64-byte blocks into state.
void PortableBlocks(uint32_t state[8], const uint8_t* data, size_t blocks) {
    for (; blocks; --blocks, data += 64) {
        uint32_t w[64];
        for (int i = 0; i < 16; ++i)
            w[i] = LoadBE32(data + 4 * i);
        for (int i = 16; i < 64; ++i) {
            const uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int i = 0; i < 64; ++i) {
            const uint32_t t1 = h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) +
                                ((e & f) ^ (~e & g)) + kRoundConstants[i] + w[i];
            const uint32_t t2 =
                (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

#if SHA256_HAVE_X86

// The same, with the processor's SHA round and message-schedule instructions. The state lives in
// two registers in the order the round instruction wants (ABEF, CDGH).
__attribute__((target("sha,sse4.1,ssse3"))) void
AcceleratedBlocks(uint32_t state[8], const uint8_t* data, size_t blocks) {
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bll, 0x0405060700010203ll);
    __m128i tmp = _mm_loadu_si128((const __m128i*)&state[0]);
    __m128i state1 = _mm_loadu_si128((const __m128i*)&state[4]);
    tmp = _mm_shuffle_epi32(tmp, 0xB1);               // CDAB
    state1 = _mm_shuffle_epi32(state1, 0x1B);         // EFGH
    __m128i state0 = _mm_alignr_epi8(tmp, state1, 8); // ABEF
    state1 = _mm_blend_epi16(state1, tmp, 0xF0);      // CDGH
    for (; blocks; --blocks, data += 64) {
        const __m128i savedAbef = state0;
        const __m128i savedCdgh = state1;
        __m128i w[4];
        // Unrolled whole, so that the four message words stay in registers.
#pragma GCC unroll 16
        for (int g = 0; g < 16; ++g) {
            if (g < 4) {
                w[g] = _mm_shuffle_epi8(_mm_loadu_si128((const __m128i*)(data + 16 * g)), byteSwap);
            } else {
                // W[t] = s1(W[t-2]) + W[t-7] + s0(W[t-15]) + W[t-16], four words at a time.
                const __m128i older = _mm_sha256msg1_epu32(w[g & 3], w[(g + 1) & 3]);
                const __m128i sum =
                    _mm_add_epi32(older, _mm_alignr_epi8(w[(g + 3) & 3], w[(g + 2) & 3], 4));
                w[g & 3] = _mm_sha256msg2_epu32(sum, w[(g + 3) & 3]);
            }
            __m128i msg =
                _mm_add_epi32(w[g & 3], _mm_loadu_si128((const __m128i*)&kRoundConstants[4 * g]));
            state1 = _mm_sha256rnds2_epu32(state1, state0, msg);
            msg = _mm_shuffle_epi32(msg, 0x0E);
            state0 = _mm_sha256rnds2_epu32(state0, state1, msg);
        }
        state0 = _mm_add_epi32(state0, savedAbef);
        state1 = _mm_add_epi32(state1, savedCdgh);
    }
    tmp = _mm_shuffle_epi32(state0, 0x1B);       // FEBA
    state1 = _mm_shuffle_epi32(state1, 0xB1);    // DCHG
    state0 = _mm_blend_epi16(tmp, state1, 0xF0); // DCBA
    state1 = _mm_alignr_epi8(state1, tmp, 8);    // ABEF
    _mm_storeu_si128((__m128i*)&state[0], state0);
    _mm_storeu_si128((__m128i*)&state[4], state1);
}

int DetectAcceleration() {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d))
        return 0;
    const int ssse3 = (c >> 9) & 1, sse41 = (c >> 19) & 1;
    if (!ssse3 || !sse41 || __get_cpuid_max(0, nullptr) < 7)
        return 0;
    __cpuid_count(7, 0, a, b, c, d);
    return (b >> 29) & 1;
}

#else

void AcceleratedBlocks(uint32_t state[8], const uint8_t* data, size_t blocks) {
    PortableBlocks(state, data, blocks);
}

int DetectAcceleration() {
    return 0;
}

#endif

typedef void (*BlocksFn)(uint32_t state[8], const uint8_t* data, size_t blocks);

// -1 until the processor has been asked.
int HasAcceleration = -1;
BlocksFn Blocks = nullptr;

BlocksFn CurrentBlocks() {
    if (!Blocks)
        Blocks = Sha256HasAcceleration() ? AcceleratedBlocks : PortableBlocks;
    return Blocks;
}

} // namespace

int Sha256HasAcceleration() {
    if (HasAcceleration < 0)
        HasAcceleration = DetectAcceleration();
    return HasAcceleration;
}

int Sha256UsePath(Sha256Path path) {
    if (path == kSha256Accelerated && !Sha256HasAcceleration())
        return 0;
    Blocks = path == kSha256Accelerated ? AcceleratedBlocks : PortableBlocks;
    return 1;
}

Sha256Path Sha256CurrentPath() {
    return CurrentBlocks() == PortableBlocks ? kSha256Portable : kSha256Accelerated;
}

void Sha256Init(Sha256Context* c) {
    memcpy(c->state, kInitialState, sizeof c->state);
    c->length = 0;
    c->used = 0;
}

namespace {
std::atomic<uint64_t> Hashed{0};
} // namespace

uint64_t Sha256BytesHashed() {
    return Hashed.load(std::memory_order_relaxed);
}

void Sha256Update(Sha256Context* c, const void* data, size_t size) {
    Hashed.fetch_add(size, std::memory_order_relaxed);
    const uint8_t* p = (const uint8_t*)data;
    const BlocksFn blocks = CurrentBlocks();
    c->length += size;
    if (c->used) {
        const size_t take = size < 64 - c->used ? size : 64 - c->used;
        memcpy(c->buffer + c->used, p, take);
        c->used += (uint32_t)take;
        p += take;
        size -= take;
        if (c->used < 64)
            return;
        blocks(c->state, c->buffer, 1);
        c->used = 0;
    }
    if (size >= 64) {
        blocks(c->state, p, size / 64);
        p += size & ~(size_t)63;
        size &= 63;
    }
    if (size) {
        memcpy(c->buffer, p, size);
        c->used = (uint32_t)size;
    }
}

void Sha256Final(Sha256Context* c, uint8_t out[kSha256Size]) {
    const uint64_t bits = c->length * 8;
    uint8_t tail[72];
    size_t padding = (c->used < 56 ? 56 : 120) - c->used;
    memset(tail, 0, sizeof tail);
    tail[0] = 0x80;
    for (int i = 0; i < 8; ++i)
        tail[padding + i] = (uint8_t)(bits >> (56 - 8 * i));
    Sha256Update(c, tail, padding + 8);
    for (int i = 0; i < 8; ++i) {
        out[4 * i] = (uint8_t)(c->state[i] >> 24);
        out[4 * i + 1] = (uint8_t)(c->state[i] >> 16);
        out[4 * i + 2] = (uint8_t)(c->state[i] >> 8);
        out[4 * i + 3] = (uint8_t)c->state[i];
    }
    Sha256Init(c);
}

void Sha256(const void* data, size_t size, uint8_t out[kSha256Size]) {
    Sha256Context c;
    Sha256Init(&c);
    Sha256Update(&c, data, size);
    Sha256Final(&c, out);
}
