#include "core/platform_ops.h"

#include "core/io_count.h"

#include <ntsecapi.h>
#include <string.h>

#ifdef UPDATER_CRASH_POINTS
#include <stdlib.h>
#include <string.h>
void ArmCrashPoints();
#endif

PlatformOpTable PlatformOps;

DirectOpTable DirectOps = {
    ::GetDiskFreeSpaceExA,
    ::GlobalAlloc,
    ::GlobalFree,
    ::GetFileTime,
    ::SetFileTime,
    ::FlushFileBuffers,
    ::MessageBoxA,
    ::CreateDirectoryA,
    ::RemoveDirectoryA,
    ::GetFileAttributesExA,
    ::FindFirstFileA,
    ::FindNextFileA,
    ::FindClose,
    ::LoadLibraryExA,
    ::GetProcAddress,
    ::GetTempPathA,
    ::RtlGenRandom,
    ::GetFileInformationByHandle,
    ::GetFinalPathNameByHandleA,
    ::OutputDebugStringA,
    ::GetTickCount64,
    ::CreateThread,
    ::FlushFileBuffers,
};

namespace {

template <typename Fn> int Bind(HMODULE library, const char* name, Fn* slot) {
    *slot = library ? (Fn)(void*)DirectOps.GetProcAddress(library, name) : nullptr;
    return *slot != nullptr;
}

// A library of the system folder, never one of the same name found elsewhere. Systems without
// the restricted search flags refuse them as an invalid parameter: the full path then says
// the same.
HMODULE LoadSystemLibrary(const char* name) {
    HMODULE library = DirectOps.LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (library || GetLastError() != ERROR_INVALID_PARAMETER)
        return library;
    char path[MAX_PATH];
    const UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length + 1 + strlen(name) >= MAX_PATH)
        return nullptr;
    path[length] = '\\';
    strcpy(path + length + 1, name);
    return DirectOps.LoadLibraryExA(path, nullptr, 0);
}

typedef BOOL(WINAPI* SetDefaultDllDirectoriesFn)(DWORD);

} // namespace

void RestrictLibrarySearch() {
    // Looked up, not imported: a system without it must still start.
    SetDefaultDllDirectoriesFn restrict = (SetDefaultDllDirectoriesFn)(void*)GetProcAddress(
        GetModuleHandleA("KERNEL32.DLL"), "SetDefaultDllDirectories");
    if (!restrict || !restrict(LOAD_LIBRARY_SEARCH_SYSTEM32))
        SetDllDirectoryA(""); // at least never the current folder
}

int BindPlatformOps() {
    PlatformOpTable& t = PlatformOps;
    t.baseLibrary = LoadSystemLibrary("KERNEL32.DLL");
    t.shellLibrary = LoadSystemLibrary("SHELL32.DLL");
    t.registryLibrary = LoadSystemLibrary("ADVAPI32.DLL");
    t.nativeLibrary = LoadSystemLibrary("NTDLL.DLL");
    int ok = t.baseLibrary && t.shellLibrary && t.registryLibrary && t.nativeLibrary;
    ok &= Bind(t.nativeLibrary, "NtCreateFile", &t.NtCreateFile);
    ok &= Bind(t.nativeLibrary, "RtlNtStatusToDosError", &t.RtlNtStatusToDosError);
    ok &= Bind(t.baseLibrary, "SetFileInformationByHandle", &t.SetFileInformationByHandle);
    ok &= Bind(t.baseLibrary, "CreateFileA", &t.CreateFileA);
    ok &= Bind(t.baseLibrary, "ReadFile", &t.ReadFile);
    ok &= Bind(t.baseLibrary, "SetFilePointerEx", &t.SetFilePointerEx);
    ok &= Bind(t.baseLibrary, "WriteFile", &t.WriteFile);
    ok &= Bind(t.baseLibrary, "GetFileSize", &t.GetFileSize);
    ok &= Bind(t.baseLibrary, "CloseHandle", &t.CloseHandle);
    ok &= Bind(t.baseLibrary, "GetFileAttributesA", &t.GetFileAttributesA);
    ok &= Bind(t.baseLibrary, "SetFileAttributesA", &t.SetFileAttributesA);
    ok &= Bind(t.baseLibrary, "MoveFileExA", &t.MoveFileExA);
    ok &= Bind(t.baseLibrary, "DeleteFileA", &t.DeleteFileA);
    ok &= Bind(t.shellLibrary, "SHFileOperationA", &t.SHFileOperationA);
    ok &= Bind(t.registryLibrary, "RegOpenKeyExA", &t.RegOpenKeyExA);
    ok &= Bind(t.registryLibrary, "RegQueryValueExA", &t.RegQueryValueExA);
    ok &= Bind(t.registryLibrary, "RegCloseKey", &t.RegCloseKey);
    ok &= Bind(t.registryLibrary, "RegCreateKeyExA", &t.RegCreateKeyExA);
    ok &= Bind(t.registryLibrary, "RegSetValueExA", &t.RegSetValueExA);
    ok &= Bind(t.registryLibrary, "RegDeleteValueA", &t.RegDeleteValueA);
    ok &= Bind(t.registryLibrary, "RegFlushKey", &t.RegFlushKey);
    ok &= Bind(t.registryLibrary, "RegGetKeySecurity", &t.RegGetKeySecurity);
    ok &= Bind(t.registryLibrary, "RegSetKeySecurity", &t.RegSetKeySecurity);
    ok &= Bind(t.registryLibrary, "RegQueryInfoKeyA", &t.RegQueryInfoKeyA);
    ok &= Bind(t.registryLibrary, "RegDeleteKeyA", &t.RegDeleteKeyA);
    if (ok)
        CountIo();
#ifdef UPDATER_CRASH_POINTS
    if (ok)
        ArmCrashPoints();
#endif
    return ok ? 1 : 0;
}

void* AllocFixed(size_t size) {
    return (void*)DirectOps.GlobalAlloc(GMEM_FIXED, size ? size : 1);
}

void FreeFixed(void* block) {
    if (block)
        DirectOps.GlobalFree((HGLOBAL)block);
}

#ifdef UPDATER_CRASH_POINTS
// Built only into the test copy of the updater, never into UPDATE.exe: the process ends at
// the k-th operation that changes the disk or the registry once a run's journal is first kept,
// as a power cut would end it, so that a test can start the updater again and see it recover. k
// comes from QV_CRASH_AT; QV_CRASH_COUNT names a file that receives how many such operations there
// were.
namespace {

PlatformOpTable RealOps;
DirectOpTable RealDirect;
long CrashAt = 0;
long Counted = 0;
bool Counting = false;
char CountFile[MAX_PATH] = "";

void Step() {
    if (!Counting)
        return;
    if (++Counted == CrashAt)
        TerminateProcess(GetCurrentProcess(), 99);
    if (CountFile[0]) {
        HANDLE h =
            RealOps.CreateFileA(CountFile, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        char text[16];
        DWORD written;
        RealOps.WriteFile(h, text, (DWORD)wsprintfA(text, "%ld", Counted), &written, nullptr);
        RealOps.CloseHandle(h);
    }
}

HANDLE WINAPI CrashCreate(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                          DWORD disposition, DWORD flags, HANDLE tmpl) {
    Step();
    return RealOps.CreateFileA(path, access, share, sa, disposition, flags, tmpl);
}
BOOL WINAPI CrashWrite(HANDLE h, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED o) {
    Step();
    return RealOps.WriteFile(h, data, size, written, o);
}
BOOL WINAPI CrashMove(LPCSTR from, LPCSTR to, DWORD flags) {
    Step();
    return RealOps.MoveFileExA(from, to, flags);
}
BOOL WINAPI CrashDelete(LPCSTR path) {
    Step();
    return RealOps.DeleteFileA(path);
}
BOOL WINAPI CrashSetAttributes(LPCSTR path, DWORD attributes) {
    Step();
    return RealOps.SetFileAttributesA(path, attributes);
}
BOOL WINAPI CrashFlush(HANDLE h) {
    Step();
    return RealDirect.FlushFileBuffers(h);
}
BOOL WINAPI CrashSetTime(HANDLE h, const FILETIME* c, const FILETIME* a, const FILETIME* w) {
    Step();
    return RealDirect.SetFileTime(h, c, a, w);
}
BOOL WINAPI CrashCreateFolder(LPCSTR path, LPSECURITY_ATTRIBUTES sa) {
    Step();
    return RealDirect.CreateDirectoryA(path, sa);
}
BOOL WINAPI CrashRemoveFolder(LPCSTR path) {
    Step();
    return RealDirect.RemoveDirectoryA(path);
}
NTSTATUS NTAPI CrashNtCreate(PHANDLE h, ACCESS_MASK access, POBJECT_ATTRIBUTES name,
                             PIO_STATUS_BLOCK io, PLARGE_INTEGER size, ULONG attributes,
                             ULONG share, ULONG disposition, ULONG options, PVOID ea,
                             ULONG eaLength) {
    Step();
    return RealOps.NtCreateFile(h, access, name, io, size, attributes, share, disposition, options,
                                ea, eaLength);
}
BOOL WINAPI CrashSetInformation(HANDLE h, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size) {
    Step();
    return RealOps.SetFileInformationByHandle(h, kind, info, size);
}
LSTATUS WINAPI CrashSetValue(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data,
                             DWORD size) {
    Counting = true;
    Step();
    return RealOps.RegSetValueExA(key, name, reserved, type, data, size);
}
LSTATUS WINAPI CrashDeleteValue(HKEY key, LPCSTR name) {
    Step();
    return RealOps.RegDeleteValueA(key, name);
}
LSTATUS WINAPI CrashDeleteKey(HKEY key, LPCSTR name) {
    Step();
    return RealOps.RegDeleteKeyA(key, name);
}

} // namespace

void ArmCrashPoints() {
    char value[32];
    if (GetEnvironmentVariableA("QV_CRASH_AT", value, sizeof value))
        CrashAt = atol(value);
    GetEnvironmentVariableA("QV_CRASH_COUNT", CountFile, sizeof CountFile);
    RealOps = PlatformOps;
    RealDirect = DirectOps;
    PlatformOps.CreateFileA = CrashCreate;
    PlatformOps.NtCreateFile = CrashNtCreate;
    PlatformOps.SetFileInformationByHandle = CrashSetInformation;
    PlatformOps.WriteFile = CrashWrite;
    PlatformOps.MoveFileExA = CrashMove;
    PlatformOps.DeleteFileA = CrashDelete;
    PlatformOps.SetFileAttributesA = CrashSetAttributes;
    PlatformOps.RegSetValueExA = CrashSetValue;
    PlatformOps.RegDeleteValueA = CrashDeleteValue;
    PlatformOps.RegDeleteKeyA = CrashDeleteKey;
    DirectOps.FlushFileBuffers = CrashFlush;
    DirectOps.SetFileTime = CrashSetTime;
    DirectOps.CreateDirectoryA = CrashCreateFolder;
    DirectOps.RemoveDirectoryA = CrashRemoveFolder;
}
#endif

int ReadFileAt(HANDLE file, uint64_t position, void* to, uint32_t size) {
    // Not a read given its place through an OVERLAPPED, which leaves the pointer in the same
    // place on a synchronous handle: some systems make each such read several times dearer.
    LARGE_INTEGER at;
    at.QuadPart = (LONGLONG)position;
    DWORD got = 0;
    return PlatformOps.SetFilePointerEx(file, at, nullptr, FILE_BEGIN) &&
           PlatformOps.ReadFile(file, to, size, &got, nullptr) && got == size;
}
