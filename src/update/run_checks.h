// What the run checks before it writes anything: that every path it will use fits the platform's
// limit and stays inside the folder it belongs to, and that every existing target can be
// replaced.
#pragma once

#include "core/text.h"

// Every update target (and the staged file beside it), every copy destination and every disc
// probe: 1 when all fit and none leads out of its folder; else 0 after a message.
int CheckRunPaths();

// 1 when the file at target can be renamed away: no other program holds it open without
// letting others delete it.
int CanBeReplaced(const char* target);

// Shows the message format names with the path in it; returns 0.
int ShowCannotReplace(const char* format, const char* path);

// Says that the installed file at path is of another version than the patch was made for;
// returns 0.
int ShowOtherVersion(const char* path);

// Puts a path into the form the platform resolves it to (full, "." and ".." gone, separators
// backslashes); left as it is when that form does not fit a path.
void ToFullPath(char path[kPathSize]);
