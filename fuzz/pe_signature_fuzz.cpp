// The certificate table reader on arbitrary files, read whole and from a cut head as verify
// reads them: nothing outside the bytes given is read, and where the table's place is sound,
// dropping it leaves an image that ends where the table began and reads as unsigned.
#include <stdlib.h>

#include <string>
#include <vector>

#include "pe/pe_signature.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    PeCertificateTable table, cut;
    std::string error;
    if (!ReadCertificateTable(data, size, size, &table, &error))
        return 0;
    // A head shorter than the file, as verify reads a large one.
    const std::vector<uint8_t> head(data, data + size / 2);
    if (ReadCertificateTable(head.data(), head.size(), size, &cut, &error) &&
        (cut.offset != table.offset || cut.size != table.size))
        abort();
    const bool sound = table.size && CertificateTableProblem(table, size).empty();
    if (sound)
        CountCertificates(data + table.offset, table.size);
    std::vector<uint8_t> image(data, data + size);
    bool dropped = false;
    const int ok = DropCertificateTable(&image, &dropped, &error);
    if (ok != (sound || !table.size) || dropped != sound)
        abort();
    if (dropped) {
        PeCertificateTable after;
        if (image.size() != table.offset ||
            !ReadCertificateTable(image.data(), image.size(), image.size(), &after, &error) ||
            after.size || after.offset)
            abort();
    }
    return 0;
}
