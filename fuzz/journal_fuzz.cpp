// The journal a run leaves in the install folder is read back at the next start, from a folder
// anyone with write access to the game could have changed: the reader must refuse anything but
// a whole journal, and what it accepts must write back to the very same bytes.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "update/journal_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint32_t count = 0;
    if (CountJournalActions(data, size, &count) != kJournalRead)
        return 0;
    std::vector<JournalAction> actions(count ? count : 1);
    uint32_t read = 0;
    if (ReadJournal(data, size, actions.data(), count, &read) != kJournalRead || read != count)
        abort();
    if (count && ReadJournal(data, size, actions.data(), count - 1, &read) != kJournalTooLarge)
        abort();
    if (JournalSize(actions.data(), count) != size)
        abort();
    std::vector<uint8_t> again(size);
    WriteJournal(actions.data(), count, again.data());
    if (memcmp(again.data(), data, size) != 0)
        abort();
    return 0;
}
