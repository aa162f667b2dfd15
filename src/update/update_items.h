// The items of UPDATE.INI's [UPDATE] section: what each value means, free of the platform.
#pragma once

#include <stdint.h>

#include "core/text.h"

// Delete comes only from the DeleteFileNN keys: the file at the path is removed.
enum UpdateMode { Always = 0, Update = 1, Data = 2, Overwrite = 3, Delete = 4 };

const int kMaxListItems = 16; // key numbers 00 to 15
// A payload that requires long lists lets the update list run on past 15, and the delete list
// is new: both end at their first missing key, and at this bound.
const int kMaxLongListItems = 4096;

struct UpdateItem {
    int32_t mode;
    char path[kPathSize];
    int32_t nameOffset; // where the file name, which is also the entry's name, begins
};

struct CopyItem {
    int32_t disc;
    char path[kPathSize];
};

enum ItemKind {
    kItemSkipped = 0, // a selector for another mode
    kItemStored = 1,  // applies: stored in the item
    kItemCheck = 2,   // an "e" version check of the path in the item, whatever the selector
    kItemBadDisc = 3  // a copy item whose disc number is not a digit
};

typedef bool (*LeadByteFn)(unsigned char byte);

// One UpdateFileNN value: optional selector, optional mode word, path.
ItemKind ParseUpdateItem(const char* value, int32_t installedMode, LeadByteFn isLead,
                         UpdateItem* item);

// One CopyFileNN value: optional "selector,", optional "disc:", then the path as it stands.
ItemKind ParseCopyItem(const char* value, int32_t installedMode, CopyItem* item);

// One past the last backslash of path that is not part of a double-byte character, or 0.
int32_t NameOffset(const char* path, LeadByteFn isLead);

// "RequiredDiskSpace": a byte count, unsigned 64-bit. A missing number asks for nothing, a
// negative one for its 32-bit two's complement; a number beyond 64 bits asks for all.
uint64_t ParseByteCount(const char* text);
