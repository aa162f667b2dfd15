// The platform operations the updater's logic calls, gathered in tables so that a test can
// replace one of them to inject a fault (a short write, a failed rename, a given number of free
// bytes, an allocation failure) without touching the rest.
#pragma once

#include <windows.h>

#include <shellapi.h>

// Bound at start-up by name from the base, shell and registry libraries.
struct PlatformOpTable {
    HMODULE baseLibrary;
    HMODULE shellLibrary;
    HMODULE registryLibrary;
    decltype(&::CreateFileA) CreateFileA;
    decltype(&::ReadFile) ReadFile;
    decltype(&::WriteFile) WriteFile;
    decltype(&::GetFileSize) GetFileSize;
    decltype(&::CloseHandle) CloseHandle;
    decltype(&::GetFileAttributesA) GetFileAttributesA;
    decltype(&::SetFileAttributesA) SetFileAttributesA;
    decltype(&::MoveFileExA) MoveFileExA;
    decltype(&::DeleteFileA) DeleteFileA;
    decltype(&::SHFileOperationA) SHFileOperationA;
    decltype(&::RegOpenKeyExA) RegOpenKeyExA;
    decltype(&::RegQueryValueExA) RegQueryValueExA;
    decltype(&::RegCloseKey) RegCloseKey;
};

extern PlatformOpTable PlatformOps;

// 1 when all three libraries loaded and every operation was found. Every operation is looked
// up whatever failed before it; the verdict is given at the end.
int BindPlatformOps();

// The platform calls made directly (linked in the ordinary way) that tests must still control.
struct DirectOpTable {
    decltype(&::GetDiskFreeSpaceExA) GetDiskFreeSpaceExA;
    decltype(&::GlobalAlloc) GlobalAlloc;
    decltype(&::GlobalFree) GlobalFree;
    decltype(&::GetFileTime) GetFileTime;
    decltype(&::SetFileTime) SetFileTime;
    decltype(&::FlushFileBuffers) FlushFileBuffers;
    decltype(&::MessageBoxA) MessageBoxA;
    decltype(&::CreateDirectoryA) CreateDirectoryA;
    decltype(&::RemoveDirectoryA) RemoveDirectoryA;
    decltype(&::GetFileAttributesExA) GetFileAttributesExA;
    decltype(&::FindFirstFileA) FindFirstFileA;
    decltype(&::FindNextFileA) FindNextFileA;
    decltype(&::FindClose) FindClose;
};

extern DirectOpTable DirectOps;

// Fixed blocks of global memory, through DirectOps. A request for 0 bytes still gets a block.
void* AllocFixed(size_t size);
void FreeFixed(void* block);
