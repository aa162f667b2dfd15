// The journal is read back at the next start. It is kept where only an elevated program can
// write, but the reader must still refuse anything but a whole journal (a damaged disk, an older
// updater's value), and what it accepts must write back to the very same bytes.
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
    JournalFolders folders;
    uint32_t read = 0;
    if (ReadJournal(data, size, &folders, actions.data(), count, &read) != kJournalRead ||
        read != count)
        abort();
    if (count &&
        ReadJournal(data, size, &folders, actions.data(), count - 1, &read) != kJournalTooLarge)
        abort();
    if (JournalSize(folders, actions.data(), count) != size)
        abort();
    std::vector<uint8_t> again(size);
    WriteJournal(folders, actions.data(), count, again.data());
    if (memcmp(again.data(), data, size) != 0)
        abort();
    return 0;
}
