#include "core/file_gate.h"

#include <string.h>

#include "core/path_form.h"
#include "core/path_walk.h"
#include "core/platform_ops.h"
#include "core/platform_text.h"

namespace {

// A folder the gate holds: a base it acts beneath, or one it opened or made on the way down.
struct Held {
    char path[kPathSize];  // as the run names it
    char final[kPathSize]; // where the platform says it is, without "\\?\"
    HANDLE handle;
    uint8_t base;
    uint8_t lasting;
};

Held* Folders = nullptr;
uint32_t HeldCount = 0;
uint32_t HeldCapacity = 0;

// The Windows folder, as named and where it really is; found once.
char WindowsFolder[kPathSize];
char WindowsFinal[kPathSize];

// Folders are held for listing and walking only, without delete sharing: nobody can rename or
// remove them, and holding no delete right ourselves lets other openers keep theirs.
const ACCESS_MASK kHoldAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES;
const ULONG kHoldShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
const ULONG kAllShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

int Refuse() {
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
}

// Opens name (length bytes) relative to root, never following a link the platform can open as
// itself. Sets the last error from the platform's status on failure.
HANDLE OpenRelative(HANDLE root, const char* name, size_t length, ACCESS_MASK access, ULONG share,
                    ULONG disposition, ULONG options) {
    WCHAR wide[kPathSize];
    // An empty name opens the root folder itself again.
    const int count = length == 0 ? 0
                                  : MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, name,
                                                        (int)length, wide, kPathSize - 1);
    if (length > 0 && count <= 0) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    UNICODE_STRING text;
    text.Buffer = wide;
    text.Length = text.MaximumLength = (USHORT)(count * sizeof(WCHAR));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, root, nullptr);
    IO_STATUS_BLOCK io;
    HANDLE h = INVALID_HANDLE_VALUE;
    const NTSTATUS status = PlatformOps.NtCreateFile(
        &h, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share,
        disposition, options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (status < 0) {
        SetLastError(PlatformOps.RtlNtStatusToDosError(status));
        return INVALID_HANDLE_VALUE;
    }
    return h;
}

int FinalOf(HANDLE h, char out[kPathSize]) {
    char final[kPathSize + 8];
    const DWORD length =
        DirectOps.GetFinalPathNameByHandleA(h, final, sizeof final, VOLUME_NAME_DOS);
    if (length == 0 || length >= sizeof final)
        return 0;
    const char* start = strncmp(final, "\\\\?\\", 4) == 0 ? final + 4 : final;
    if (strlen(start) >= kPathSize)
        return 0;
    strcpy(out, start);
    return 1;
}

int IsInWindowsFolder(const char* final) {
    return (WindowsFolder[0] && IsSameOrBelow(final, WindowsFolder, StepAnsiChar)) ||
           (WindowsFinal[0] && IsSameOrBelow(final, WindowsFinal, StepAnsiChar));
}

// Found again each time a base is held, so that every run makes the same calls. 0 when the
// Windows folder or where it really is cannot be told.
int FindWindowsFolder(bool again = false) {
    if (WindowsFolder[0] && !again)
        return WindowsFinal[0] != 0;
    WindowsFinal[0] = 0;
    const UINT length = GetWindowsDirectoryA(WindowsFolder, kPathSize);
    if (length == 0 || length >= kPathSize) {
        WindowsFolder[0] = 0;
        return 0;
    }
    HANDLE h = GateOpenToRead(WindowsFolder, 0, kAllShare, 0);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    if (!FinalOf(h, WindowsFinal))
        WindowsFinal[0] = 0;
    PlatformOps.CloseHandle(h);
    return WindowsFinal[0] != 0;
}

// 1 when the open handle is no link, of the kind asked (1 folder, 0 file, -1 either), stands
// exactly where expected says, and not in the Windows folder. info receives what it is.
int IsWhereExpected(HANDLE h, const char* expected, int folder, BY_HANDLE_FILE_INFORMATION* info,
                    int own = 0) {
    char final[kPathSize];
    if (!DirectOps.GetFileInformationByHandle(h, info) ||
        (info->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || !FinalOf(h, final))
        return 0;
    const int isFolder = (info->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (folder >= 0 && isFolder != folder)
        return 0;
    return IsSamePlace(final, expected, StepAnsiChar) && (own || !IsInWindowsFolder(final));
}

Held* FindHeld(const char* path) {
    for (uint32_t i = 0; i < HeldCount; ++i) {
        if (IsSamePlace(Folders[i].path, path, StepAnsiChar))
            return &Folders[i];
    }
    return nullptr;
}

Held* AddHeld(const char* path, const char* final, HANDLE h, int base, int lasting) {
    if (HeldCount == HeldCapacity) {
        const uint32_t capacity = HeldCapacity ? HeldCapacity * 2 : 16;
        Held* grown = (Held*)AllocFixed(capacity * sizeof(Held));
        if (!grown)
            return nullptr;
        if (HeldCount)
            memcpy(grown, Folders, HeldCount * sizeof(Held));
        FreeFixed(Folders);
        Folders = grown;
        HeldCapacity = capacity;
    }
    Held* f = &Folders[HeldCount++];
    lstrcpynA(f->path, path, kPathSize);
    lstrcpynA(f->final, final, kPathSize);
    f->handle = h;
    f->base = (uint8_t)base;
    f->lasting = (uint8_t)lasting;
    return f;
}

void DropHeld(Held* f) {
    PlatformOps.CloseHandle(f->handle);
    *f = Folders[--HeldCount];
}

// The held base that path lies below (the deepest), with path's names below it.
Held* BaseBelow(const char* path, WalkNames* names) {
    Held* best = nullptr;
    WalkNames found;
    for (uint32_t i = 0; i < HeldCount; ++i) {
        Held* f = &Folders[i];
        if (!f->base || !SplitBelow(path, f->path, &found, StepAnsiChar))
            continue;
        if (!best || strlen(f->path) > strlen(best->path)) {
            best = f;
            *names = found;
        }
    }
    return best;
}

// expected = folder's final path, a backslash, and length bytes of name.
int JoinFinal(char expected[kPathSize], const char* folder, const char* name, size_t length) {
    const size_t at = strlen(folder);
    const size_t slash = IsDriveRoot(folder) ? 0 : 1;
    if (at + slash + length >= kPathSize)
        return 0;
    memcpy(expected, folder, at);
    if (slash)
        expected[at] = '\\';
    memcpy(expected + at + slash, name, length);
    expected[at + slash + length] = 0;
    return 1;
}

// Walks path down from its base, holding every folder on the way but the last name's own:
// *folder receives the held folder the last name lies in, *name and *length the last name.
// The path itself may be a base or held: then *folder is it and *length is 0.
int WalkTo(const char* path, Held** folder, const char** name, size_t* length) {
    Held* at = FindHeld(path);
    if (at) {
        *folder = at;
        *name = at->path;
        *length = 0;
        return 1;
    }
    WalkNames names;
    Held* f = BaseBelow(path, &names);
    if (!f)
        return Refuse();
    const int lasting = f->lasting;
    for (int i = 0; i + 1 < names.count; ++i) {
        char sub[kPathSize];
        const size_t end = (size_t)names.start[i] + names.length[i];
        memcpy(sub, path, end);
        sub[end] = 0;
        Held* next = FindHeld(sub);
        if (!next) {
            char expected[kPathSize];
            const char* n = path + names.start[i];
            if (!JoinFinal(expected, f->final, n, names.length[i]))
                return Refuse();
            HANDLE h = OpenRelative(f->handle, n, names.length[i], kHoldAccess, kHoldShare,
                                    FILE_OPEN, FILE_DIRECTORY_FILE);
            if (h == INVALID_HANDLE_VALUE)
                return 0;
            BY_HANDLE_FILE_INFORMATION info;
            if (!IsWhereExpected(h, expected, 1, &info, lasting) ||
                !(next = AddHeld(sub, expected, h, 0, lasting))) {
                PlatformOps.CloseHandle(h);
                return Refuse();
            }
        }
        f = next;
    }
    *folder = f;
    *name = path + names.start[names.count - 1];
    *length = names.length[names.count - 1];
    return 1;
}

// Opens the last name of path in its held folder and checks the handle; the open handle, or
// INVALID_HANDLE_VALUE. A path that is a held folder is opened again, relative to nothing.
HANDLE OpenChecked(const char* path, ACCESS_MASK access, ULONG share, ULONG disposition,
                   ULONG options, int folderKind, BY_HANDLE_FILE_INFORMATION* info,
                   Held** where = nullptr) {
    FindWindowsFolder();
    Held* folder;
    const char* name;
    size_t length;
    if (!WalkTo(path, &folder, &name, &length))
        return INVALID_HANDLE_VALUE;
    if (where)
        *where = folder;
    char expected[kPathSize];
    HANDLE h;
    if (length == 0) {
        // The held folder itself: opened anew from its handle, by an empty name.
        strcpy(expected, folder->final);
        h = OpenRelative(folder->handle, "", 0, access, share, disposition, options);
    } else {
        if (!JoinFinal(expected, folder->final, name, length)) {
            Refuse();
            return INVALID_HANDLE_VALUE;
        }
        h = OpenRelative(folder->handle, name, length, access, share, disposition, options);
    }
    if (h == INVALID_HANDLE_VALUE)
        return h;
    if (!IsWhereExpected(h, expected, folderKind, info, folder->lasting)) {
        // A file this call created where it should not be (it cannot be: the name was made
        // relative to a held folder) would still be ours to remove.
        if (disposition == FILE_CREATE)
            GateDeleteHandle(h);
        PlatformOps.CloseHandle(h);
        Refuse();
        return INVALID_HANDLE_VALUE;
    }
    return h;
}

} // namespace

int GateSetHandleAttributes(HANDLE h, DWORD attributes) {
    FILE_BASIC_INFO basic;
    memset(&basic, 0, sizeof basic); // zero times: left as they are
    basic.FileAttributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
    return PlatformOps.SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof basic) != 0;
}

int GateReserveRoom(HANDLE h, uint64_t size) {
    FILE_ALLOCATION_INFO room;
    room.AllocationSize.QuadPart = (LONGLONG)size;
    return PlatformOps.SetFileInformationByHandle(h, FileAllocationInfo, &room, sizeof room) != 0;
}

HANDLE GateOpenToRead(const char* path, DWORD access, DWORD share, DWORD flags) {
    const DWORD reading = GENERIC_READ | FILE_READ_DATA | FILE_READ_ATTRIBUTES | FILE_READ_EA |
                          FILE_LIST_DIRECTORY | FILE_TRAVERSE | READ_CONTROL | SYNCHRONIZE;
    if (access & ~reading) {
        Refuse();
        return INVALID_HANDLE_VALUE;
    }
    return PlatformOps.CreateFileA(path, access, share, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
}

int GateHoldBase(const char* folder, int lasting) {
    // A game folder is held only when the Windows folder's place is known.
    if (!FindWindowsFolder(true) && !lasting)
        return Refuse();
    if (FindHeld(folder))
        return 1;
    char path[kPathSize];
    lstrcpynA(path, folder, kPathSize);
    DropTrailingBackslash(path, StepAnsiChar);
    HANDLE h = GateOpenToRead(path, kHoldAccess, kHoldShare, FILE_FLAG_OPEN_REPARSE_POINT);
    if (h == INVALID_HANDLE_VALUE &&
        (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND)) {
        // A folder the run will make: the folder above it is held instead.
        const size_t cut = FolderPartLength(path);
        if (cut < 3)
            return 0;
        path[cut > 3 ? cut - 1 : cut] = 0;
        if (FindHeld(path))
            return 1;
        h = GateOpenToRead(path, kHoldAccess, kHoldShare, FILE_FLAG_OPEN_REPARSE_POINT);
    }
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    BY_HANDLE_FILE_INFORMATION info;
    char final[kPathSize];
    if (!DirectOps.GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !FinalOf(h, final) ||
        (!lasting && (IsInWindowsFolder(final) || !IsSamePlace(final, path, StepAnsiChar))) ||
        !AddHeld(path, final, h, 1, lasting)) {
        PlatformOps.CloseHandle(h);
        return Refuse();
    }
    return 1;
}

void GateReleaseRun() {
    for (uint32_t i = HeldCount; i-- > 0;) {
        if (!Folders[i].lasting)
            DropHeld(&Folders[i]);
    }
    if (HeldCount == 0) {
        FreeFixed(Folders);
        Folders = nullptr;
        HeldCapacity = 0;
    }
}

HANDLE GateOpen(const char* path, DWORD access, DWORD share, GateOpenKind kind) {
    BY_HANDLE_FILE_INFORMATION info;
    return OpenChecked(path, access, share, kind == kGateNewFile ? FILE_CREATE : FILE_OPEN,
                       kind == kGateExisting ? 0 : FILE_NON_DIRECTORY_FILE,
                       kind == kGateExisting ? -1 : 0, &info);
}

int GateHolds(const char* path) {
    return FindHeld(path) != nullptr;
}

int GateCreateFolder(const char* path) {
    if (FindHeld(path)) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return 0;
    }
    BY_HANDLE_FILE_INFORMATION info;
    Held* parent = nullptr;
    HANDLE h = OpenChecked(path, kHoldAccess, kHoldShare, FILE_CREATE, FILE_DIRECTORY_FILE, 1,
                           &info, &parent);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    char final[kPathSize];
    if (!FinalOf(h, final) || !AddHeld(path, final, h, 0, parent && parent->lasting)) {
        PlatformOps.CloseHandle(h);
        return 0;
    }
    return 1;
}

int GateRemoveFolder(const char* path) {
    Held* held = FindHeld(path);
    if (held && held->base)
        return Refuse();
    // Our own hold goes first: the removal needs the delete right it keeps from others.
    if (held)
        DropHeld(held);
    BY_HANDLE_FILE_INFORMATION info;
    HANDLE h = OpenChecked(path, DELETE | FILE_READ_ATTRIBUTES, kAllShare, FILE_OPEN,
                           FILE_DIRECTORY_FILE, 1, &info);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    const int ok = GateDeleteHandle(h);
    return PlatformOps.CloseHandle(h) && ok;
}

int GateRenameHandle(HANDLE file, const char* to, int replace) {
    FindWindowsFolder();
    Held* folder;
    const char* name;
    size_t length;
    if (!WalkTo(to, &folder, &name, &length) || length == 0)
        return Refuse();
    WCHAR wide[kPathSize];
    const int count =
        MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, name, (int)length, wide, kPathSize - 1);
    if (count <= 0)
        return Refuse();
    char expected[kPathSize];
    if (!JoinFinal(expected, folder->final, name, length))
        return Refuse();
    const size_t size = sizeof(FILE_RENAME_INFO) + (4 + 2 * kPathSize) * sizeof(WCHAR);
    uint8_t buffer[sizeof(FILE_RENAME_INFO) + (4 + 2 * kPathSize) * sizeof(WCHAR)];
    memset(buffer, 0, sizeof buffer);
    FILE_RENAME_INFO* rename = (FILE_RENAME_INFO*)buffer;
    rename->ReplaceIfExists = replace ? TRUE : FALSE;
    rename->RootDirectory = folder->handle;
    memcpy(rename->FileName, wide, count * sizeof(WCHAR));
    rename->FileNameLength = (DWORD)(count * sizeof(WCHAR));
    BOOL ok = PlatformOps.SetFileInformationByHandle(file, FileRenameInfo, rename, (DWORD)size);
    if (!ok && GetLastError() == ERROR_INVALID_PARAMETER) {
        // No renames relative to a folder here: the held folder's final path names the same
        // place, and it cannot move while it is held.
        WCHAR full[2 * kPathSize];
        char nt[kPathSize + 8] = "\\?"
                                 "?\\";
        strcat(nt, expected);
        const int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, nt, -1, full,
                                          (int)(sizeof full / sizeof full[0]));
        if (n <= 1)
            return Refuse();
        rename->RootDirectory = nullptr;
        memcpy(rename->FileName, full, (n - 1) * sizeof(WCHAR));
        rename->FileNameLength = (DWORD)((n - 1) * sizeof(WCHAR));
        ok = PlatformOps.SetFileInformationByHandle(file, FileRenameInfo, rename, (DWORD)size);
    }
    if (!ok)
        return 0;
    BY_HANDLE_FILE_INFORMATION info;
    return IsWhereExpected(file, expected, -1, &info, folder->lasting) || Refuse();
}

int GateRename(const char* from, const char* to, int replace) {
    BY_HANDLE_FILE_INFORMATION info;
    HANDLE h = OpenChecked(from, DELETE | FILE_READ_ATTRIBUTES, kAllShare, FILE_OPEN, 0, -1, &info);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    const int ok = GateRenameHandle(h, to, replace);
    const DWORD error = GetLastError();
    PlatformOps.CloseHandle(h);
    SetLastError(error);
    return ok;
}

int GateDeleteHandle(HANDLE file) {
    FILE_DISPOSITION_INFO gone;
    gone.DeleteFile = TRUE;
    return PlatformOps.SetFileInformationByHandle(file, FileDispositionInfo, &gone, sizeof gone) !=
           0;
}

int GateDelete(const char* path) {
    BY_HANDLE_FILE_INFORMATION info;
    HANDLE h = OpenChecked(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kAllShare,
                           FILE_OPEN, FILE_NON_DIRECTORY_FILE, 0, &info);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    int ok = 1;
    // A read-only file refuses removal; the mark of a file with other names is theirs too.
    if (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
        ok = info.nNumberOfLinks <= 1 &&
             GateSetHandleAttributes(h, info.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
    ok = ok && GateDeleteHandle(h);
    const DWORD error = GetLastError();
    PlatformOps.CloseHandle(h);
    SetLastError(error);
    return ok;
}

int GateSetAttributes(const char* path, DWORD attributes) {
    BY_HANDLE_FILE_INFORMATION info;
    HANDLE h = OpenChecked(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kAllShare, FILE_OPEN,
                           0, -1, &info);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    const int single =
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || info.nNumberOfLinks <= 1;
    const int ok = single ? GateSetHandleAttributes(h, attributes) : Refuse();
    const DWORD error = GetLastError();
    PlatformOps.CloseHandle(h);
    SetLastError(error);
    return ok;
}

int GateRemoveLink(const char* path) {
    FindWindowsFolder();
    Held* folder;
    const char* name;
    size_t length;
    if (!WalkTo(path, &folder, &name, &length) || length == 0)
        return Refuse();
    HANDLE h = OpenRelative(folder->handle, name, length, DELETE | FILE_READ_ATTRIBUTES, kAllShare,
                            FILE_OPEN, 0);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    // Only the link itself, opened as a reparse point, is removed; a handle of what it leads to
    // (a platform that cannot open links as themselves) is let go untouched.
    BY_HANDLE_FILE_INFORMATION info;
    char final[kPathSize], expected[kPathSize];
    const int itself = DirectOps.GetFileInformationByHandle(h, &info) &&
                       (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
                       FinalOf(h, final) && JoinFinal(expected, folder->final, name, length) &&
                       IsSamePlace(final, expected, StepAnsiChar);
    const int ok = itself ? GateDeleteHandle(h) : Refuse();
    PlatformOps.CloseHandle(h);
    return ok;
}
