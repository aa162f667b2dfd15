// How the file gate (core/file_gate.h) takes a path apart below a folder it holds, and how it
// judges what the platform says a handle's final path is. Free of the platform: the CP932 walk
// comes in as a function, so the fuzzer and the native tests reach it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "core/text.h"

// A path below a folder, as the names the gate opens one after another.
const int kMaxWalkNames = 64;
struct WalkNames {
    int count;
    uint16_t start[kMaxWalkNames];  // offset of each name in the path
    uint16_t length[kMaxWalkNames]; // its bytes
};

// 1 when folder is a drive root ("X:\"), the one folder whose name ends in a backslash: a byte
// 0x5C at the end of any other is the trail byte of a double-byte character.
int IsDriveRoot(const char* folder);

// 1 when name (length bytes, no backslash in it) is one the gate will open: a name the exact
// path form accepts (no ".", "..", stream, wildcard, control byte, device name, short alias,
// trailing dot or blank).
int IsWalkableName(const char* name, size_t length, CharStepFn step);

// 1 when path is folder, byte for byte, followed by a backslash (none after a drive root "X:\")
// and one or more walkable names separated by single backslashes; out then holds them. A trail
// byte 0x5C of a double-byte character separates nothing.
int SplitBelow(const char* path, const char* folder, WalkNames* out, CharStepFn step);

// 1 when two paths name the same place as the platform compares names: equal but for the case
// of single-byte ASCII letters (never a byte of a double-byte character). Both in the same form:
// the gate takes the "\\?\" prefix off a final path first. An empty path names no place.
int IsSamePlace(const char* a, const char* b, CharStepFn step);

// 1 when path is folder or lies below it, compared as IsSamePlace compares.
int IsSameOrBelow(const char* path, const char* folder, CharStepFn step);
