#include "pe/pe_file.h"

#include "archive/archive_format.h"

namespace {

inline uint16_t LoadLE16(const uint8_t* p) {
    return (uint16_t)(p[0] | (p[1] << 8));
}

const uint16_t kPe32Magic = 0x10B;
const uint16_t kPe32PlusMagic = 0x20B;

int Refuse(std::string* error, const std::string& why) {
    *error = why;
    return 0;
}

} // namespace

int ParsePe(const std::vector<uint8_t>& file, PeLayout* pe, std::string* error) {
    return ParsePe(file.data(), file.size(), pe, error);
}

int ParsePe(const uint8_t* f, uint64_t size, PeLayout* pe, std::string* error) {
    if (size < 64 || f[0] != 'M' || f[1] != 'Z')
        return Refuse(error, "not a Windows executable (no MZ header)");
    const uint32_t peOffset = LoadLE32(f + 60);
    if ((uint64_t)peOffset + 24 > size || LoadLE32(f + peOffset) != 0x00004550)
        return Refuse(error, "not a PE executable (no PE signature)");
    const uint8_t* coff = f + peOffset + 4;
    const uint16_t sectionCount = LoadLE16(coff + 2);
    const uint16_t optionalSize = LoadLE16(coff + 16);
    pe->symbolTable = LoadLE32(coff + 8);
    const uint32_t optional = peOffset + 24;
    if ((uint64_t)optional + optionalSize > size || optionalSize < 2)
        return Refuse(error, "the PE optional header is cut short");
    const uint16_t magic = LoadLE16(f + optional);
    uint32_t countOffset;
    if (magic == kPe32Magic)
        countOffset = 92;
    else if (magic == kPe32PlusMagic)
        countOffset = 108;
    else
        return Refuse(error, "unknown PE optional header kind");
    if (countOffset + 4 > optionalSize)
        return Refuse(error, "the PE optional header is cut short");
    pe->sectionAlignment = LoadLE32(f + optional + 32);
    pe->fileAlignment = LoadLE32(f + optional + 36);
    pe->initializedDataOffset = optional + 8;
    pe->sizeOfImageOffset = optional + 56;
    pe->checksumOffset = optional + 64;
    const uint32_t dirCount = LoadLE32(f + optional + countOffset);
    pe->directoryOffset = optional + countOffset + 4;
    if (dirCount > 16 || countOffset + 4 + (uint64_t)dirCount * 8 > optionalSize)
        return Refuse(error, "the PE data directories do not fit their header");
    const auto isPowerOfTwo = [](uint32_t v) { return v && !(v & (v - 1)); };
    // The format allows file alignments up to 64 KiB; a larger one would make the rebuilt
    // section absurdly big.
    if (!isPowerOfTwo(pe->sectionAlignment) || !isPowerOfTwo(pe->fileAlignment) ||
        pe->fileAlignment > 0x10000)
        return Refuse(error, "the PE alignments are not powers of two up to 64 KiB");
    pe->directories.clear();
    for (uint32_t i = 0; i < dirCount; ++i)
        pe->directories.push_back(PeDirectory{LoadLE32(f + pe->directoryOffset + i * 8),
                                              LoadLE32(f + pe->directoryOffset + i * 8 + 4)});
    const uint32_t table = optional + optionalSize;
    if ((uint64_t)table + (uint64_t)sectionCount * kPeSectionHeaderSize > size)
        return Refuse(error, "the PE section table is cut short");
    pe->sections.clear();
    for (uint32_t i = 0; i < sectionCount; ++i) {
        const uint8_t* h = f + table + i * kPeSectionHeaderSize;
        PeSection s;
        s.name.assign((const char*)h, 8);
        s.name.resize(s.name.find('\0') == std::string::npos ? 8 : s.name.find('\0'));
        s.virtualSize = LoadLE32(h + 8);
        s.virtualAddress = LoadLE32(h + 12);
        s.rawSize = LoadLE32(h + 16);
        s.rawPointer = LoadLE32(h + 20);
        s.characteristics = LoadLE32(h + 36);
        s.headerOffset = table + i * kPeSectionHeaderSize;
        if ((uint64_t)s.rawPointer + s.rawSize > size)
            return Refuse(error, "PE section " + s.name + " lies past the end of the file");
        pe->sections.push_back(s);
    }
    return 1;
}

void PeChecksumSum::Update(const uint8_t* bytes, size_t size) {
    size_t i = 0;
    // Whole words past the field, the bulk of a large file, without the per-byte tests.
    if (!(at_ & 1) && at_ >= (uint64_t)checksumOffset_ + 4) {
        for (; i + 1 < size; i += 2) {
            sum_ += bytes[i] | ((uint32_t)bytes[i + 1] << 8);
            sum_ = (sum_ & 0xFFFF) + (sum_ >> 16);
        }
        at_ += i;
    }
    for (; i < size; ++i, ++at_) {
        // The field counts as zero, wherever it lies.
        const uint32_t b =
            at_ >= checksumOffset_ && at_ - checksumOffset_ < 4 ? 0u : (uint32_t)bytes[i];
        if (!(at_ & 1)) {
            low_ = b;
            continue;
        }
        sum_ += low_ | (b << 8);
        sum_ = (sum_ & 0xFFFF) + (sum_ >> 16);
    }
}

uint32_t PeChecksumSum::Final() const {
    uint64_t sum = sum_;
    if (at_ & 1) {
        sum += low_;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return (uint32_t)(sum + at_);
}

uint32_t PeChecksum(const std::vector<uint8_t>& file, uint32_t checksumOffset) {
    PeChecksumSum sum(checksumOffset);
    sum.Update(file.data(), file.size());
    return sum.Final();
}

const PeSection* SectionAt(const PeLayout& pe, uint32_t rva) {
    for (const PeSection& s : pe.sections) {
        const uint32_t extent = s.virtualSize ? s.virtualSize : s.rawSize;
        if (rva >= s.virtualAddress && rva - s.virtualAddress < extent)
            return &s;
    }
    return nullptr;
}
