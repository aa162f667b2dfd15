#include "core/folder_handles.h"

#include "core/platform_ops.h"

#include <string.h>

int FinalPathOf(const char* path, DWORD flags, char out[kPathSize]) {
    HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    char final[kPathSize + 8];
    const DWORD length = GetFinalPathNameByHandleA(h, final, sizeof final, VOLUME_NAME_DOS);
    CloseHandle(h);
    if (length == 0 || length >= sizeof final)
        return 0;
    const char* start = strncmp(final, "\\\\?\\", 4) == 0 ? final + 4 : final;
    lstrcpynA(out, start, kPathSize);
    return 1;
}

HANDLE PinPlainFolder(const char* folder) {
    HANDLE h = PlatformOps.CreateFileA(
        folder, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return h;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info) ||
        !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        PlatformOps.CloseHandle(h);
        return INVALID_HANDLE_VALUE;
    }
    return h;
}
