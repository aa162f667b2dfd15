#include "archive/archive.h"

#include "archive/archive_index.h"
#include "archive/decompress.h"
#include "core/messages.h"
#include "core/platform_ops.h"

const uint8_t* PayloadData = nullptr;
uint32_t PayloadSize = 0;
uint8_t* CurrentArchiveIndex = nullptr;
const uint8_t* ArchiveEntries = nullptr;

namespace {

// Entry names compare as the platform compares ANSI text, case-insensitively.
int SameEntryName(const char* a, const char* b) {
    return lstrcmpiA(a, b);
}

} // namespace

uint8_t* OpenArchive() {
    return OpenArchiveImage(PayloadData, PayloadSize, AllocFixed, FreeFixed);
}

int UseArchiveIndex(uint8_t* index) {
    CurrentArchiveIndex = index;
    ArchiveEntries = index ? IndexRecords(index) : nullptr;
    return index != nullptr;
}

void CloseArchive() {
    FreeFixed(CurrentArchiveIndex);
    UseArchiveIndex(nullptr);
}

const uint8_t* FindEntryRecord(const char* name, uint32_t* dataOffset) {
    const uint8_t* rec = CurrentArchiveIndex
                             ? LookupEntry(CurrentArchiveIndex, name, SameEntryName, dataOffset)
                             : nullptr;
    if (!rec)
        ShowUpdaterError("Can't Find File in Resource !!");
    return rec;
}

int ReportDecodeFailure(EntryDecodeResult result) {
    if (result == kEntryNoMemory)
        ShowUpdaterError("Can't Allocate Memory !!");
    else if (result == kEntryDamaged)
        ShowUpdaterError("RESOURCE READ ERROR");
    return result == kEntryDecoded;
}

const void* FindEntryData(const char* name, uint32_t* outSize) {
    uint32_t offset;
    const uint8_t* rec = FindEntryRecord(name, &offset);
    if (!rec)
        return nullptr;
    const uint8_t* bytes;
    uint8_t* block;
    if (!ReportDecodeFailure(
            DecodeEntry(rec, PayloadData + offset, AllocFixed, FreeFixed, &bytes, &block)))
        return nullptr;
    if (outSize)
        *outSize = EntryDecodedSize(rec);
    return bytes;
}
