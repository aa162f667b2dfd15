// Reading the two profile files: the installed game's SETUP.INI and the updater's own
// UPDATE.INI. A key with an empty value counts as missing, like an absent one.
#pragma once

#include <stddef.h>
#include <stdint.h>

// On: a missing key shows a message before the reader returns 0. Off: it returns 0 silently.
extern int RequiredKeys;

// The files the readers read: the install folder's SETUP.INI and the temporary UPDATE.INI.
extern char SetupIniPath[260];
extern char UpdateIniPath[260];

// 1 when the key holds a non-empty value, read into out (zero-filled first, capacity bytes).
int ReadSetupValue(const char* key, char* out, size_t capacity);
int ReadUpdateValue(const char* section, const char* key, char* out, size_t capacity);

// 1 and the value as a decimal integer, or 0 with *value untouched.
int ReadSetupInt(const char* key, int32_t* value);
