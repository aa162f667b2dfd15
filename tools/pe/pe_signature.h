// The signature of a PE executable: its certificate table, which the security data directory
// names by file offset (not by address, unlike every other directory) and which lies after the
// sections, outside the image the loader maps. Read from the headers alone, so that a file of
// any size is judged without reading it whole.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

struct PeCertificateTable {
    uint32_t entryOffset; // file offset of the security directory entry; 0 when there is none
    uint32_t offset;      // of the table, as the entry gives it
    uint32_t size;        // 0: the file is not signed
    uint64_t sectionsEnd; // where the raw data of the sections ends
};

// Reads the table's place from head, the file's first bytes (fileSize is the whole file's size).
// 0 and a reason when head holds no PE headers; a file too short for them is none either.
int ReadCertificateTable(const uint8_t* head, size_t headSize, uint64_t fileSize,
                         PeCertificateTable* table, std::string* error);

// What is wrong with a table's place in a file of fileSize bytes, or "" when nothing is: it must
// lie behind the sections, inside the file, aligned to 8 bytes, and end the file, or the bytes
// after it would travel unsigned.
std::string CertificateTableProblem(const PeCertificateTable& table, uint64_t fileSize);

// The number of certificate entries in the table's bytes, or -1 when they do not fill it as a
// row of 8-byte aligned entries, each with its length, revision and type.
int CountCertificates(const uint8_t* bytes, size_t size);

// Cuts a whole image's certificate table off and clears its directory entry, for an image that
// is to change and so could no longer carry its signature. *dropped says whether there was one.
// A table whose place is wrong is refused, the image left as it was.
int DropCertificateTable(std::vector<uint8_t>* image, bool* dropped, std::string* error);
