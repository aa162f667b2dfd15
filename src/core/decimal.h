// Decimal text of unsigned 64-bit numbers, for messages that must show byte counts above 4 GiB.
#pragma once

#include <stdint.h>

const unsigned kDecimalSize = 21; // 18446744073709551615 and its NUL

inline void FormatDecimal(uint64_t value, char out[kDecimalSize]) {
    char digits[kDecimalSize];
    unsigned n = 0;
    do {
        digits[n++] = (char)('0' + value % 10);
        value /= 10;
    } while (value);
    for (unsigned i = 0; i < n; ++i)
        out[i] = digits[n - 1 - i];
    out[n] = 0;
}
