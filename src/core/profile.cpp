#include "core/profile.h"

#include <windows.h>

#include <string.h>

#include "core/messages.h"
#include "core/text.h"

int RequiredKeys = 1;
char SetupIniPath[260];
char UpdateIniPath[260];

namespace {

int ReadValue(const char* file, const char* section, const char* key, char* out, size_t capacity) {
    memset(out, 0, capacity);
    return GetPrivateProfileStringA(section, key, "", out, (DWORD)capacity, file) != 0;
}

} // namespace

int ReadSetupValue(const char* key, char* out, size_t capacity) {
    if (ReadValue(SetupIniPath, "SETUP", key, out, capacity))
        return 1;
    if (RequiredKeys) {
        char text[kMessageSize];
        wsprintfA(text, "SETUP.INI : %s キーが存在しません", key);
        ShowSetupError(text);
    }
    return 0;
}

int ReadUpdateValue(const char* section, const char* key, char* out, size_t capacity) {
    if (ReadValue(UpdateIniPath, section, key, out, capacity))
        return 1;
    if (RequiredKeys) {
        char text[kMessageSize];
        wsprintfA(text, "%s : %s キーが存在しません", section, key);
        ShowSetupError(text);
    }
    return 0;
}

int ReadSetupInt(const char* key, int32_t* value) {
    char text[kPathSize];
    if (!ReadSetupValue(key, text, sizeof text))
        return 0;
    *value = ParseDecimal(text);
    return 1;
}
