// The suffix sorter of our own must give the library's suffix array for any input: the input
// is the text, its bytes folded to a smaller alphabet by the first byte, so that the repeats
// that drive the sorter's recursion come often.
#include <divsufsort.h>
#include <stdlib.h>

#include <vector>

#include "payload/suffix_sort.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > (1u << 20))
        return 0;
    const unsigned alphabet = data[0] ? data[0] : 256;
    std::vector<uint8_t> text(data + 1, data + size);
    for (uint8_t& c : text)
        c = (uint8_t)(c % alphabet);
    std::vector<int32_t> ours(text.size()), theirs(text.size());
    if (!SortSuffixes(text.data(), ours.data(), text.size()))
        abort();
    if (!text.empty())
        divsufsort(text.data(), (saidx_t*)theirs.data(), (saidx_t)text.size());
    if (ours != theirs)
        abort();
    return 0;
}
