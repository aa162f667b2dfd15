// List cutting and the text primitives around it: a list value as the profile reader hands
// it over (at most 1023 bytes, NUL-terminated) cut into items, each item joined to a folder,
// and the text form of the notice. Must not crash or run past any buffer.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "core/text.h"
#include "shared/char_step.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t length = size < kTextSize - 1 ? size : kTextSize - 1;
    std::vector<char> list(data, data + length);
    list.push_back(0);
    const char* const end = list.data() + length;

    const char* cursor = list.data();
    size_t items = 0;
    for (;;) {
        std::vector<char> item(kPathSize, 0x5A);
        const char* before = cursor;
        const int got = NextListItem(item.data(), &cursor);
        if (cursor < before || cursor > end)
            abort();
        if (!got)
            break;
        if (!memchr(item.data(), 0, kPathSize) || cursor == before)
            abort();
        if (++items > length + 1)
            abort(); // the cursor must reach the end

        // The item joined to a folder that leaves it little room, then much.
        for (size_t folderLength : {(size_t)0, (size_t)3, kPathSize - 8}) {
            std::vector<char> folder(kPathSize, 0);
            memset(folder.data(), 'F', folderLength);
            const int joined = JoinPathWith(folder.data(), kPathSize, item.data(), TestCharStep);
            const size_t total = strlen(folder.data());
            if (joined ? total + 2 > kPathSize : total != folderLength)
                abort();
        }
    }

    std::vector<char> converted(length + 1, 0x5A);
    ConvertLineBreaks(list.data(), converted.data(), TestCharStep);
    if (strlen(converted.data()) > length)
        abort();

    ParseDecimal64(list.data());
    ParseDecimal(list.data());
    return 0;
}
