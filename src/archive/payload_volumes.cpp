#include "archive/payload_volumes.h"

#include <windows.h>

#include <string.h>

#include "archive/archive.h"
#include "archive/payload_large.h"
#include "core/file_gate.h"
#include "core/messages.h"
#include "core/platform_ops.h"
#include "core/platform_text.h"
#include "core/run_state.h"

namespace {

HANDLE* Volumes = nullptr;
uint32_t VolumeCount = 0;
uint32_t FailedVolume = 0;

PayloadVolume VolumeAt(uint32_t i) {
    PayloadVolume v;
    ReadPayloadVolume(PayloadIntegrity.record.volumes, i, &v);
    return v;
}

void ShowVolumeMessage(const char* format, uint32_t i) {
    char text[kMessageSize];
    wsprintfA(text, format, VolumeAt(i).name);
    ShowUpdaterError(text);
}

// Read access, others may only read: from here on the bytes cannot change under the run. A link
// at the name is opened as itself, not followed, and then refused as no plain file.
HANDLE OpenVolume(const char* folder, uint32_t i) {
    const PayloadVolume v = VolumeAt(i);
    char path[MAX_PATH];
    const size_t length = strlen(folder);
    if (length + 1 + strlen(v.name) >= sizeof path) {
        ShowVolumeMessage("アップデートデータのファイル「%s」を開けません", i);
        return INVALID_HANDLE_VALUE;
    }
    memcpy(path, folder, length);
    path[length] = '\\';
    strcpy(path + length + 1, v.name);
    HANDLE h = GateOpenToRead(path, GENERIC_READ, FILE_SHARE_READ, FILE_FLAG_OPEN_REPARSE_POINT);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        ShowVolumeMessage(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                              ? "アップデートデータのファイル「%s」が見つかりません。アップデート"
                                "プログラムと同じフォルダに置いてください"
                              : "アップデートデータのファイル「%s」を開けません",
                          i);
        return h;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
        ShowVolumeMessage("アップデートデータのファイル「%s」を開けません", i);
        PlatformOps.CloseHandle(h);
        return INVALID_HANDLE_VALUE;
    }
    DWORD high = 0;
    SetLastError(NO_ERROR);
    const DWORD low = PlatformOps.GetFileSize(h, &high);
    const uint64_t size = ((uint64_t)high << 32) | low;
    if ((low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) || size != v.size) {
        ShowVolumeMessage("アップデートデータのファイル「%s」の大きさが正しくありません", i);
        PlatformOps.CloseHandle(h);
        return INVALID_HANDLE_VALUE;
    }
    return h;
}

int ReadVolumeAt(uint32_t i, uint64_t position, uint8_t* to, uint32_t n) {
    if (ReadFileAt(Volumes[i], position, to, n))
        return 1;
    FailedVolume = i;
    return 0;
}

// The folder of the running module, without its final backslash; 0 when it does not fit.
int ModuleFolder(char folder[MAX_PATH]) {
    const DWORD length = GetModuleFileNameA(ModuleInstance, folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return 0;
    const size_t part = FolderPartLength(folder);
    if (part == 0)
        return 0;
    folder[part - 1] = 0;
    return 1;
}

} // namespace

int OpenPayloadVolumes(const char* folder) {
    ClosePayloadVolumes();
    const uint32_t count = PayloadIntegrity.covered ? PayloadIntegrity.record.volumeCount : 0;
    if (count == 0)
        return 1;
    char module[MAX_PATH];
    if (!folder) {
        if (!ModuleFolder(module)) {
            ShowVolumeMessage("アップデートデータのファイル「%s」を開けません", 0);
            return 0;
        }
        folder = module;
    }
    Volumes = (HANDLE*)AllocFixed(count * sizeof(HANDLE));
    if (!Volumes) {
        ShowUpdaterError("Can't Allocate Memory !!");
        return 0;
    }
    for (; VolumeCount < count; ++VolumeCount) {
        Volumes[VolumeCount] = OpenVolume(folder, VolumeCount);
        if (Volumes[VolumeCount] == INVALID_HANDLE_VALUE) {
            ClosePayloadVolumes();
            return 0;
        }
    }
    return 1;
}

uint64_t PayloadVolumeBytes() {
    uint64_t total = 0;
    for (uint32_t i = 0; i < VolumeCount; ++i)
        total += VolumeAt(i).size;
    return total;
}

int CheckPayloadVolumes(void (*progress)(uint64_t bytes)) {
    if (VolumeCount == 0)
        return 1;
    uint8_t* buffer = (uint8_t*)AllocFixed(kEntryPartSize);
    if (!buffer) {
        ShowUpdaterError("Can't Allocate Memory !!");
        return 0;
    }
    int ok = 1;
    for (uint32_t i = 0; ok && i < VolumeCount; ++i) {
        const PayloadVolume v = VolumeAt(i);
        Sha256Context c;
        Sha256Init(&c);
        for (uint64_t at = 0; ok && at < v.size;) {
            const uint32_t n =
                v.size - at < kEntryPartSize ? (uint32_t)(v.size - at) : kEntryPartSize;
            ok = ReadVolumeAt(i, at, buffer, n);
            Sha256Update(&c, buffer, n);
            at += n;
            progress(n);
        }
        uint8_t digest[kSha256Size];
        Sha256Final(&c, digest);
        if (!ok) {
            ShowVolumeReadFailure();
        } else if (memcmp(digest, v.digest, kSha256Size) != 0) {
            ShowVolumeMessage("アップデートデータのファイル「%s」が壊れています", i);
            ok = 0;
        }
    }
    FreeFixed(buffer);
    return ok;
}

int ReadVolumeStream(uint64_t offset, uint8_t* to, uint32_t n) {
    uint32_t i = 0;
    for (; i < VolumeCount && offset >= VolumeAt(i).size; ++i)
        offset -= VolumeAt(i).size;
    while (n > 0) {
        if (i >= VolumeCount) {
            FailedVolume = VolumeCount ? VolumeCount - 1 : 0;
            return 0;
        }
        const uint64_t left = VolumeAt(i).size - offset;
        const uint32_t part = left < n ? (uint32_t)left : n;
        if (!ReadVolumeAt(i, offset, to, part))
            return 0;
        to += part;
        n -= part;
        offset = 0;
        ++i;
    }
    return 1;
}

void ShowVolumeReadFailure() {
    if (FailedVolume < VolumeCount)
        ShowVolumeMessage("アップデートデータのファイル「%s」を読み込めません", FailedVolume);
    else
        ShowUpdaterError("RESOURCE READ ERROR");
}

void ClosePayloadVolumes() {
    for (uint32_t i = 0; i < VolumeCount; ++i)
        PlatformOps.CloseHandle(Volumes[i]);
    FreeFixed(Volumes);
    Volumes = nullptr;
    VolumeCount = 0;
}
