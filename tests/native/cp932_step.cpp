#include "shared/char_step.h"

// CP932 lead bytes are 0x81-0x9F and 0xE0-0xFC; a lead byte before the NUL stands alone.
const char* TestCharStep(const char* p) {
    const unsigned char c = (unsigned char)*p;
    if (!c)
        return p;
    if (((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC)) && p[1])
        return p + 2;
    return p + 1;
}
