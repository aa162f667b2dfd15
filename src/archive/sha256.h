// SHA-256 of byte blocks, free of the platform: the payload's integrity data is written by
// mkupdate and checked by the updater with this same code. Processors with the SHA extensions
// take a path that uses them; every other processor takes the portable one. Both give the same
// digests; which one runs is decided once, on first use.
#pragma once

#include <stddef.h>
#include <stdint.h>

const size_t kSha256Size = 32;

struct Sha256Context {
    uint32_t state[8];
    uint64_t length; // bytes hashed so far
    uint8_t buffer[64];
    uint32_t used; // bytes waiting in buffer
};

void Sha256Init(Sha256Context* c);
void Sha256Update(Sha256Context* c, const void* data, size_t size);
// Writes the digest and leaves the context to be initialised again.
void Sha256Final(Sha256Context* c, uint8_t out[kSha256Size]);

void Sha256(const void* data, size_t size, uint8_t out[kSha256Size]);

// Every byte this process has hashed, so that a run can say what its checks cost.
uint64_t Sha256BytesHashed();

enum Sha256Path { kSha256Portable = 0, kSha256Accelerated = 1 };

// 1 when this processor has the SHA extensions the accelerated path needs.
int Sha256HasAcceleration();
// The path every later call takes. For tests and benchmarks: 0 when the processor lacks it.
int Sha256UsePath(Sha256Path path);
Sha256Path Sha256CurrentPath();
