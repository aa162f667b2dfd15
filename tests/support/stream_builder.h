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
    // The low `count` bits of value, most significant first.
    StreamBuilder& Value(unsigned value, int count) {
        for (int i = count - 1; i >= 0; --i)
            Bits(((value >> i) & 1) ? "1" : "0");
        return *this;
    }
    // A long copy (3 to 282 bytes from 1 to 8192 back), written from the format's tables.
    StreamBuilder& LongCopy(size_t distance, size_t length) {
        const unsigned o = (unsigned)(distance - 1);
        Bits("00");
        if (o < 512) {
            Bits("1").Byte((uint8_t)(o >> 1)).Value(o & 1, 1);
        } else {
            const int low = o < 1024 ? 1 : o < 2048 ? 2 : o < 4096 ? 3 : 4;
            Bits(low == 1 ? "01" : low == 2 ? "001" : low == 3 ? "0001" : "0000");
            Byte((uint8_t)((o >> low) - 256)).Value(o & ((1u << low) - 1), low);
        }
        const unsigned n = (unsigned)length;
        if (n == 3)
            return Bits("1");
        if (n == 4)
            return Bits("01");
        if (n <= 6)
            return Bits("001").Value(n - 5, 1);
        if (n <= 10)
            return Bits("0001").Value(n - 7, 2);
        if (n <= 26)
            return Bits("00001").Value(n - 11, 4);
        return Bits("00000").Byte((uint8_t)(n - 27));
    }
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
