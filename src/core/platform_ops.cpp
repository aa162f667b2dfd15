#include "core/platform_ops.h"

#include <ntsecapi.h>
#include <string.h>

PlatformOpTable PlatformOps;

DirectOpTable DirectOps = {
    ::GetDiskFreeSpaceExA, ::GlobalAlloc,      ::GlobalFree,       ::GetFileTime,
    ::SetFileTime,         ::FlushFileBuffers, ::MessageBoxA,      ::LoadLibraryExA,
    ::GetProcAddress,      ::GetTempPathA,     ::CreateDirectoryA, ::RtlGenRandom,
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
    int ok = t.baseLibrary && t.shellLibrary && t.registryLibrary;
    ok &= Bind(t.baseLibrary, "CreateFileA", &t.CreateFileA);
    ok &= Bind(t.baseLibrary, "ReadFile", &t.ReadFile);
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
    return ok ? 1 : 0;
}

void* AllocFixed(size_t size) {
    return (void*)DirectOps.GlobalAlloc(GMEM_FIXED, size ? size : 1);
}

void FreeFixed(void* block) {
    if (block)
        DirectOps.GlobalFree((HGLOBAL)block);
}
