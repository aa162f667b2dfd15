// The text primitives bound to the platform's own CP932 character stepping.
#pragma once

#include "core/text.h"

// CharNextA, as a plain function.
const char* StepAnsiChar(const char* p);

// Joins name to the folder in a path buffer of kPathSize bytes (see JoinPathWith); 0 when the
// result would not fit, the folder then unchanged.
int JoinPath(char* folder, const char* name);

// Shows that folder joined with name makes a path too long for the platform.
void ShowPathTooLong(const char* folder, const char* name);

// Length of the folder part of path, its final backslash included; 0 for a bare name. A trail
// byte 0x5C of a double-byte character is not a separator.
size_t FolderPartLength(const char* path);
