#include "pe/pe_signature.h"

#include "archive/archive_format.h"
#include "pe/pe_file.h"

namespace {

inline uint16_t LoadLE16(const uint8_t* p) {
    return (uint16_t)(p[0] | (p[1] << 8));
}

int Refuse(std::string* error, const std::string& why) {
    *error = why;
    return 0;
}

std::string Hex(uint64_t v) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (int shift = v >> 32 ? 60 : 28; shift >= 0; shift -= 4)
        text += kDigits[(v >> shift) & 15];
    return "0x" + text;
}

const uint16_t kPe32Magic = 0x10B;
const uint16_t kPe32PlusMagic = 0x20B;

} // namespace

int ReadCertificateTable(const uint8_t* head, size_t headSize, uint64_t fileSize,
                         PeCertificateTable* table, std::string* error) {
    *table = PeCertificateTable{0, 0, 0, 0};
    if (headSize > fileSize)
        headSize = (size_t)fileSize;
    if (headSize < 64 || head[0] != 'M' || head[1] != 'Z')
        return Refuse(error, "not a Windows executable (no MZ header)");
    const uint64_t peOffset = LoadLE32(head + 60);
    if (peOffset + 24 > headSize || LoadLE32(head + peOffset) != 0x00004550)
        return Refuse(error, "not a PE executable (no PE signature)");
    const uint8_t* coff = head + peOffset + 4;
    const uint32_t sectionCount = LoadLE16(coff + 2);
    const uint32_t optionalSize = LoadLE16(coff + 16);
    const uint64_t optional = peOffset + 24;
    if (optional + optionalSize > headSize || optionalSize < 2)
        return Refuse(error, "the PE optional header is cut short");
    const uint16_t magic = LoadLE16(head + optional);
    const uint32_t countOffset = magic == kPe32Magic ? 92 : magic == kPe32PlusMagic ? 108 : 0;
    if (!countOffset)
        return Refuse(error, "unknown PE optional header kind");
    const uint64_t sectionTable = optional + optionalSize;
    const uint64_t sectionTableEnd = sectionTable + (uint64_t)sectionCount * kPeSectionHeaderSize;
    if (sectionTableEnd > headSize)
        return Refuse(error, "the PE section table is cut short");
    table->sectionsEnd = sectionTableEnd;
    for (uint32_t i = 0; i < sectionCount; ++i) {
        const uint8_t* h = head + sectionTable + (uint64_t)i * kPeSectionHeaderSize;
        const uint64_t rawSize = LoadLE32(h + 16);
        const uint64_t end = rawSize ? LoadLE32(h + 20) + rawSize : 0;
        if (end > table->sectionsEnd)
            table->sectionsEnd = end;
    }
    // An image with fewer directories has no security directory, and so no signature.
    if (countOffset + 4 > optionalSize)
        return 1;
    const uint32_t directories = LoadLE32(head + optional + countOffset);
    const uint64_t entry = optional + countOffset + 4 + (uint64_t)kCertificateDirectory * 8;
    if (directories <= kCertificateDirectory || entry + 8 > optional + optionalSize)
        return 1;
    table->entryOffset = (uint32_t)entry;
    table->offset = LoadLE32(head + entry);
    table->size = LoadLE32(head + entry + 4);
    return 1;
}

std::string CertificateTableProblem(const PeCertificateTable& table, uint64_t fileSize) {
    if (!table.size)
        return "";
    const uint64_t end = (uint64_t)table.offset + table.size;
    const std::string place = "the certificate table (at " + Hex(table.offset) + ", " +
                              std::to_string(table.size) + " bytes)";
    if (table.offset < table.sectionsEnd)
        return place + " overlaps the headers or sections, which end at " + Hex(table.sectionsEnd);
    if (end > fileSize)
        return place + " runs past the end of the file (" + std::to_string(fileSize) + " bytes)";
    if (table.offset % 8)
        return place + " is not aligned to 8 bytes";
    if (end < fileSize)
        return std::to_string(fileSize - end) +
               (fileSize - end == 1 ? " byte follows " : " bytes follow ") + place +
               ": the signature does not cover them";
    return "";
}

int CountCertificates(const uint8_t* bytes, size_t size) {
    int count = 0;
    for (size_t at = 0; at < size; ++count) {
        if (size - at < 8)
            return -1;
        const uint32_t length = LoadLE32(bytes + at);
        const uint16_t revision = LoadLE16(bytes + at + 4);
        const uint16_t type = LoadLE16(bytes + at + 6);
        if (length < 8 || length > size - at || (revision != 0x0100 && revision != 0x0200) ||
            type < 1 || type > 4)
            return -1;
        // Each entry starts on an 8-byte boundary; the last one's padding may end the table.
        const uint64_t next = at + ((uint64_t)length + 7) / 8 * 8;
        at = next > size ? size : (size_t)next;
    }
    return count;
}

int DropCertificateTable(std::vector<uint8_t>* image, bool* dropped, std::string* error) {
    *dropped = false;
    PeCertificateTable table;
    if (!ReadCertificateTable(image->data(), image->size(), image->size(), &table, error))
        return 0;
    if (!table.size)
        return 1;
    const std::string problem = CertificateTableProblem(table, image->size());
    if (!problem.empty())
        return Refuse(error, "its signature cannot be dropped: " + problem);
    image->resize(table.offset);
    StoreLE32(image->data() + table.entryOffset, 0);
    StoreLE32(image->data() + table.entryOffset + 4, 0);
    *dropped = true;
    return 1;
}
