// Integrity records put together by hand, section by section, with their own digest made to
// match, so that parser tests do not lean on the writer.
#pragma once

#include <stdint.h>

#include <utility>
#include <vector>

#include "archive/archive_format.h"
#include "archive/payload_integrity.h"

inline std::vector<uint8_t>
Craft(uint16_t version, uint32_t features,
      const std::vector<std::pair<uint16_t, std::vector<uint8_t>>>& sections,
      uint32_t sizeDelta = 0) {
    std::vector<uint8_t> r(kIntegrityHeaderSize, 0);
    StoreLE32(r.data(), kIntegrityMagic);
    r[4] = (uint8_t)version;
    r[5] = (uint8_t)(version >> 8);
    r[6] = (uint8_t)kIntegrityHeaderSize;
    StoreLE32(r.data() + 8, features);
    StoreLE32(r.data() + 12, (uint32_t)sections.size());
    for (const auto& s : sections) {
        uint8_t head[8] = {(uint8_t)s.first, (uint8_t)(s.first >> 8), 0, 0, 0, 0, 0, 0};
        StoreLE32(head + 4, (uint32_t)s.second.size());
        r.insert(r.end(), head, head + 8);
        r.insert(r.end(), s.second.begin(), s.second.end());
    }
    StoreLE32(r.data() + 16, (uint32_t)(r.size() + kSha256Size + sizeDelta));
    r.resize(r.size() + kSha256Size);
    Sha256(r.data(), r.size() - kSha256Size, r.data() + r.size() - kSha256Size);
    return r;
}

inline std::vector<uint8_t> U32(uint32_t v) {
    std::vector<uint8_t> b(4);
    StoreLE32(b.data(), v);
    return b;
}

// A section 3 body of count digests.
inline std::vector<uint8_t> Digests(uint32_t count) {
    std::vector<uint8_t> b = U32(count);
    b.resize(4 + count * kSha256Size, 0xAB);
    return b;
}

// The three required sections, for count entries.
inline std::vector<std::pair<uint16_t, std::vector<uint8_t>>> RequiredSections(uint32_t count) {
    return {{kTagAlgorithm, U32(kHashSha256)},
            {kTagIndexDigest, std::vector<uint8_t>(kSha256Size, 0x5A)},
            {kTagEntryDigests, Digests(count)}};
}
