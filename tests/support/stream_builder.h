// Builds block streams by hand from flag bits and data bytes given in the order a decoder
// reads them, placing each flag word where the format says it is read. Independent of the
// encoder, so decoder tests do not lean on it.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

struct StreamBuilder {
    std::vector<uint8_t> bytes;
    size_t wordPos = 0;
    uint32_t word = 0;
    int used = 32; // no word yet: the first bit takes one

    // bits: a string of '0' and '1'; other characters (spaces) are ignored.
    StreamBuilder& Bits(const std::string& bits) {
        for (char c : bits) {
            if (c != '0' && c != '1')
                continue;
            if (used == 32) {
                Flush();
                wordPos = bytes.size();
                bytes.resize(bytes.size() + 4);
                word = 0;
                used = 0;
            }
            if (c == '1')
                word |= 1u << (31 - used);
            ++used;
        }
        return *this;
    }
    StreamBuilder& Byte(uint8_t b) {
        bytes.push_back(b);
        return *this;
    }
    StreamBuilder& End() { return Bits("011").Byte(0xFF).Bits("111"); }
    std::vector<uint8_t> Done() {
        Flush();
        return bytes;
    }

  private:
    void Flush() {
        if (wordPos + 4 <= bytes.size()) {
            bytes[wordPos] = (uint8_t)word;
            bytes[wordPos + 1] = (uint8_t)(word >> 8);
            bytes[wordPos + 2] = (uint8_t)(word >> 16);
            bytes[wordPos + 3] = (uint8_t)(word >> 24);
        }
    }
};
