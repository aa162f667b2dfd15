// What the fuzz targets share: stopping on a broken property, and reading one input as two
// strings.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>

inline void Require(bool condition) {
    if (!condition)
        abort();
}

// The input's first `most` bytes as two strings: what comes before the first NUL, and what
// follows it up to the next one (empty when there is no NUL).
inline void TwoStrings(const uint8_t* data, size_t size, size_t most, std::string* first,
                       std::string* second) {
    const std::string all((const char*)data, size < most ? size : most);
    const size_t split = all.find('\0');
    *first = all.substr(0, split);
    *second = split == std::string::npos ? "" : all.substr(split + 1).c_str();
}
