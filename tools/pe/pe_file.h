// The parts of a PE executable's headers that rebuilding its resource section touches. Every
// offset comes from the file and is checked against its size before it is used.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

struct PeSection {
    std::string name;
    uint32_t virtualSize;
    uint32_t virtualAddress;
    uint32_t rawSize;
    uint32_t rawPointer;
    uint32_t characteristics;
    uint32_t headerOffset; // of its entry in the section table
};

struct PeDirectory {
    uint32_t rva;
    uint32_t size;
};

const unsigned kResourceDirectory = 2;
const unsigned kCertificateDirectory = 4;
const uint32_t kSectionInitializedData = 0x40;
const uint32_t kPeSectionHeaderSize = 40;

struct PeLayout {
    uint32_t sectionAlignment;
    uint32_t fileAlignment;
    uint32_t sizeOfImageOffset;
    uint32_t initializedDataOffset;
    uint32_t checksumOffset;
    uint32_t directoryOffset; // of the first data directory entry
    std::vector<PeDirectory> directories;
    std::vector<PeSection> sections;
    uint32_t symbolTable; // file offset of COFF symbols, 0 when stripped
};

// 1 when file is a PE image (32- or 64-bit) whose headers and section table lie inside it.
int ParsePe(const std::vector<uint8_t>& file, PeLayout* pe, std::string* error);
int ParsePe(const uint8_t* file, uint64_t size, PeLayout* pe, std::string* error);

// The image checksum as the loader's checksum routine computes it, the field itself left out.
uint32_t PeChecksum(const std::vector<uint8_t>& file, uint32_t checksumOffset);

// The same over a file given in parts of any length, one after another, so that a file is
// summed as it is written rather than held whole.
class PeChecksumSum {
  public:
    explicit PeChecksumSum(uint32_t checksumOffset) : checksumOffset_(checksumOffset) {}
    void Update(const uint8_t* bytes, size_t size);
    uint32_t Final() const;

  private:
    uint32_t checksumOffset_;
    uint64_t sum_ = 0;
    uint64_t at_ = 0;  // bytes summed so far
    uint32_t low_ = 0; // the low byte of a word whose high byte is still to come
};

// The section holding rva, or null.
const PeSection* SectionAt(const PeLayout& pe, uint32_t rva);
