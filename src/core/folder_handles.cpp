#include "core/folder_handles.h"

#include "core/file_gate.h"
#include "core/platform_ops.h"

#include <string.h>

int FinalPathOf(const char* path, DWORD flags, char out[kPathSize]) {
    HANDLE h =
        GateOpenToRead(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, flags);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    char final[kPathSize + 8];
    const DWORD length =
        DirectOps.GetFinalPathNameByHandleA(h, final, sizeof final, VOLUME_NAME_DOS);
    PlatformOps.CloseHandle(h);
    if (length == 0 || length >= sizeof final)
        return 0;
    const char* start = strncmp(final, "\\\\?\\", 4) == 0 ? final + 4 : final;
    lstrcpynA(out, start, kPathSize);
    return 1;
}
