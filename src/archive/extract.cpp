#include <string.h>

#include "archive/archive.h"
#include "archive/archive_format.h"
#include "core/decimal.h"
#include "core/file_gate.h"
#include "core/messages.h"
#include "core/platform_ops.h"
#include "core/platform_text.h"

int QueryFreeBytes(const char* path, char drive[3], uint64_t* freeBytes) {
    drive[0] = path[0];
    drive[1] = drive[0] ? path[1] : 0;
    drive[2] = 0;
    char root[4] = {drive[0], drive[1], '\\', 0};
    ULARGE_INTEGER available;
    if (!DirectOps.GetDiskFreeSpaceExA(root, &available, nullptr, nullptr))
        return 0;
    *freeBytes = available.QuadPart;
    return 1;
}

namespace {

int HasRoomFor(const char* targetPath, uint64_t size) {
    char drive[3];
    uint64_t freeBytes;
    // When the query fails there is nothing to compare against: the write itself will report
    // a full disk.
    if (!QueryFreeBytes(targetPath, drive, &freeBytes) || size <= freeBytes)
        return 1;
    char shortfall[kDecimalSize];
    FormatDecimal(size - freeBytes, shortfall);
    char text[kMessageSize];
    wsprintfA(text, "ディスク容量が足りません。%s ドライブに %s バイトの空き容量が必要です", drive,
              shortfall);
    ShowUpdaterError(text);
    return 0;
}

uint64_t FileTimeValue(const FILETIME& t) {
    return ((uint64_t)t.dwHighDateTime << 32) | t.dwLowDateTime;
}

// 1 when the file at path was last written later than time.
int IsNewerThan(const char* path, uint64_t time) {
    HANDLE h = GateOpen(path, GENERIC_READ, FILE_SHARE_READ, kGateExistingFile);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    FILETIME lastWrite;
    const int newer =
        DirectOps.GetFileTime(h, nullptr, nullptr, &lastWrite) && FileTimeValue(lastWrite) > time;
    PlatformOps.CloseHandle(h);
    return newer;
}

// The temporary file's name: "~qv", eight hex digits, ".tmp".
const size_t kTemporaryNameLength = 15;

// Creates a new, empty file beside path that no other file shares a name with.
HANDLE CreateTemporaryBeside(const char* path, char temp[MAX_PATH]) {
    static unsigned serial = 0;
    if (!HasRoomToWrite(path))
        return INVALID_HANDLE_VALUE;
    const size_t folder = FolderPartLength(path);
    for (int attempt = 0; attempt < 64; ++attempt) {
        char name[32];
        wsprintfA(name, "~qv%04x%04x.tmp", (unsigned)(GetCurrentProcessId() & 0xFFFF),
                  ++serial & 0xFFFF);
        const size_t nameLength = strlen(name);
        memcpy(temp, path, folder);
        memcpy(temp + folder, name, nameLength + 1);
        HANDLE h = GateOpen(temp, GENERIC_WRITE | DELETE, 0, kGateNewFile);
        if (h != INVALID_HANDLE_VALUE ||
            (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS))
            return h;
    }
    return INVALID_HANDLE_VALUE;
}

// Writes the decoded entry to the target under the folder, read-only and keep-newer rules.
int PlaceFile(const uint8_t* rec, const uint8_t* bytes, const char* targetPath, int keepNewer) {
    const DWORD attributes = PlatformOps.GetFileAttributesA(targetPath);
    const int exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return 0;
    if (exists && (attributes & FILE_ATTRIBUTE_READONLY))
        GateSetAttributes(targetPath, FILE_ATTRIBUTE_NORMAL);
    const uint64_t time = EntryTime(rec);
    if (keepNewer && exists && IsNewerThan(targetPath, time))
        return 1;
    FILETIME stamp;
    stamp.dwLowDateTime = (DWORD)time;
    stamp.dwHighDateTime = (DWORD)(time >> 32);
    // Entries read whole are smaller than 2 GiB (ReadPlacedWhole).
    return WriteWholeFile(targetPath, bytes, (uint32_t)EntrySizeOf(rec), &stamp);
}

} // namespace

int HasRoomToWrite(const char* path) {
    return strlen(path) < MAX_PATH && FolderPartLength(path) + kTemporaryNameLength < MAX_PATH;
}

int WriteWholeFile(const char* path, const void* data, uint32_t size, const FILETIME* time) {
    char temp[MAX_PATH];
    HANDLE h = CreateTemporaryBeside(path, temp);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    DWORD written = 0;
    int ok = PlatformOps.WriteFile(h, data, size, &written, nullptr) && written == size;
    // The bytes must be on the disk before the rename makes them the only copy; the file is
    // renamed by its own handle, held since its creation.
    ok = ok && DirectOps.FlushFileBuffers(h);
    ok = ok && GateRenameHandle(h, path, 1);
    // Set in the final place: a file renamed into a recently removed name can inherit that
    // name's old creation time.
    ok = ok && (!time || DirectOps.SetFileTime(h, time, time, time));
    if (!ok)
        GateDeleteHandle(h);
    return PlatformOps.CloseHandle(h) && ok;
}

int ExtractEntry(const char* name, const char* targetPath, int keepNewer) {
    uint32_t offset;
    const uint8_t* rec = FindEntryRecord(name, &offset);
    if (!rec || !HasRoomFor(targetPath, EntrySizeOf(rec)))
        return 0;
    const uint8_t* bytes;
    uint8_t* block;
    // Checked against its hash before the target is touched in any way.
    if (!DecodeCheckedEntry(rec, offset, &bytes, &block))
        return 0;
    const int result = PlaceFile(rec, bytes, targetPath, keepNewer);
    FreeFixed(block);
    return result;
}
