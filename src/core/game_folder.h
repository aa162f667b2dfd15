// The install and data folders the registry names, put into their one exact form and judged
// before anything is joined to them.
#pragma once

#include "core/text.h"

// The folder in its exact form, refused when it has none or is, or lies inside, the Windows
// folder (by name or by where a link leads): an elevated program must not write there on the
// word of a registry value any program of the user can set. 0 after a message.
int SettleGameFolder(char folder[kPathSize]);

// A folder no item of the run writes into: its exact form when it would pass, else empty, and
// never a message. It still bounds what the run may remove.
void SettleUnusedFolder(char folder[kPathSize]);

// 1 when a path in its exact form is, or lies inside, the Windows folder, by its name or by where
// a link on its way leads, or when it is there but where it leads cannot be learnt.
int LiesInWindowsFolder(const char* exact);
