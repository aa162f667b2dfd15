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
