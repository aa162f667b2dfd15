// The work behind the dialog's confirm page: the free-space check, the [UPDATE] lists, the
// version checks, the update files and the disc copies.
#pragma once

#include <windows.h>

#include "update/update_items.h"

// The update items, then the delete items.
struct UpdateListData {
    UpdateItem items[2 * kMaxLongListItems];
    int count;
};
struct CopyListData {
    CopyItem items[kMaxListItems];
    int count;
};
extern UpdateListData UpdateList;
extern CopyListData CopyList;

// Leaves the dialog on its completion page, on the shortage page (Back and Cancel enabled), or
// ends it with -1 after a message.
void RunUpdate(HWND dialog);

// The dialog's buttons.
const int kNextId = 1;
const int kCancelId = 2;
const int kBackId = 4;

// Ends the dialog with -1: the run failed or was cancelled.
void AbortDialog(HWND dialog);

// The folder an item is written into (its base folder joined with DataFolder) and its target;
// 0 after a message when either would not fit a path.
int TargetOf(const UpdateItem& item, char folder[kPathSize], char target[kPathSize]);
