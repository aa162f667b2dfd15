// Byte-string primitives of the updater, free of the platform: every CP932-sensitive one takes
// the platform's character stepping as a function, so that double-byte text is walked the way
// the platform walks it.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Buffer sizes in use: paths, names, single values and list items; lists, long texts and
// formatted messages.
const size_t kPathSize = 260;
const size_t kTextSize = 1024;

// Returns the start of the character after the one at p (p itself at the terminating NUL).
typedef const char* (*CharStepFn)(const char* p);

inline bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}
inline bool IsItemEnd(char c) {
    return c == 0 || c == '\n' || c == '\r' || c == ',';
}

// The disc number that the last disc prefix ("N:") seen by NextListItem named.
extern int32_t ItemDiskNumber;

// Takes the next comma-separated item of the list at *cursor into item (kPathSize bytes) and
// moves the cursor past it. 0 at the end of the list, or at an empty item, which ends it. An
// item longer than 259 bytes is cut to 259; the cursor still moves past all of it.
int NextListItem(char* item, const char** cursor);

// Appends name to the folder in its buffer of `capacity` bytes with one backslash between,
// followed by a second NUL so that the result is also a one-entry file list. Returns 0 and
// leaves the folder as it was when the result would not fit.
int JoinPathWith(char* folder, size_t capacity, const char* name, CharStepFn step);

// Copies text into out (at least as large as the text), turning every single-byte backslash
// followed by "n" into one carriage return.
void ConvertLineBreaks(const char* text, char* out, CharStepFn step);

// Decimal conversion as the profile values use it: leading white space, an optional sign, then
// digits up to the first other byte; no digits read as 0. Saturates at the type's limits.
int64_t ParseDecimal64(const char* text);
int32_t ParseDecimal(const char* text);

// 1 when a relative path, joined to a folder, would lead out of that folder: a ".." component
// that climbs above where the path began. Both separators count, as the platform takes both,
// and a component of dots and blanks counts as ".." when it has two dots or more, since the
// platform drops trailing dots and blanks from a name. A trail byte 0x5C or 0x2F of a
// double-byte character is no separator.
int PathLeavesFolder(const char* path, CharStepFn step);
