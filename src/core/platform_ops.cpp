#include "core/platform_ops.h"

PlatformOpTable PlatformOps;

DirectOpTable DirectOps = {
    ::GetDiskFreeSpaceExA, ::GlobalAlloc,          ::GlobalFree,     ::GetFileTime,
    ::SetFileTime,         ::FlushFileBuffers,     ::MessageBoxA,    ::CreateDirectoryA,
    ::RemoveDirectoryA,    ::GetFileAttributesExA, ::FindFirstFileA, ::FindNextFileA,
    ::FindClose,
};

namespace {

template <typename Fn> int Bind(HMODULE library, const char* name, Fn* slot) {
    *slot = library ? (Fn)(void*)GetProcAddress(library, name) : nullptr;
    return *slot != nullptr;
}

} // namespace

int BindPlatformOps() {
    PlatformOpTable& t = PlatformOps;
    t.baseLibrary = LoadLibraryA("KERNEL32.DLL");
    t.shellLibrary = LoadLibraryA("SHELL32.DLL");
    t.registryLibrary = LoadLibraryA("ADVAPI32.DLL");
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
