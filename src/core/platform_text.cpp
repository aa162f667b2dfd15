#include "core/platform_text.h"

#include <windows.h>

#include "core/messages.h"

const char* StepAnsiChar(const char* p) {
    return CharNextA(p);
}

int JoinPath(char* folder, const char* name) {
    return JoinPathWith(folder, kPathSize, name, StepAnsiChar);
}

void ShowPathTooLong(const char* folder, const char* name) {
    char text[kMessageSize];
    // Both parts are at most a path long, so the text fits the formatter's 1024 bytes.
    wsprintfA(text, "パスが長すぎます (%u バイトまで)：\r%s\r%s", (unsigned)(kPathSize - 2), folder,
              name);
    ShowUpdaterError(text);
}

size_t FolderPartLength(const char* path) {
    size_t folder = 0;
    for (const char* p = path; *p; p = CharNextA(p)) {
        if (*p == '\\')
            folder = (size_t)(p - path) + 1;
    }
    return folder;
}
