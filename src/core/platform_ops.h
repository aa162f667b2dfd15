// The platform operations the updater's logic calls, gathered in tables so that a test can
// replace one of them to inject a fault (a short write, a failed rename, a given number of free
// bytes, an allocation failure) without touching the rest.
#pragma once

#include <windows.h>

#include <shellapi.h>
#include <winternl.h>

#include <stdint.h>

typedef NTSTATUS(NTAPI* NtCreateFileFn)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                        PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
typedef ULONG(NTAPI* NtStatusToErrorFn)(NTSTATUS);

// Bound at start-up by name from the base, shell, registry and native libraries.
struct PlatformOpTable {
    HMODULE baseLibrary;
    HMODULE shellLibrary;
    HMODULE registryLibrary;
    HMODULE nativeLibrary;
    // The file gate's (core/file_gate.h): opens relative to a held folder, and renames, deletes
    // and changes attributes through a file's own handle.
    NtCreateFileFn NtCreateFile;
    NtStatusToErrorFn RtlNtStatusToDosError;
    decltype(&::SetFileInformationByHandle) SetFileInformationByHandle;
    decltype(&::CreateFileA) CreateFileA;
    decltype(&::ReadFile) ReadFile;
    decltype(&::SetFilePointerEx) SetFilePointerEx;
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
    // The journal of a run is kept under the local machine's root, where only an elevated
    // program can write (update/commit.h).
    decltype(&::RegCreateKeyExA) RegCreateKeyExA;
    decltype(&::RegSetValueExA) RegSetValueExA;
    decltype(&::RegDeleteValueA) RegDeleteValueA;
    decltype(&::RegFlushKey) RegFlushKey;
    // The journal's key is trusted only as far as its owner and access list allow; the run
    // removes the keys it made once they are empty.
    decltype(&::RegGetKeySecurity) RegGetKeySecurity;
    decltype(&::RegSetKeySecurity) RegSetKeySecurity;
    decltype(&::RegQueryInfoKeyA) RegQueryInfoKeyA;
    decltype(&::RegDeleteKeyA) RegDeleteKeyA;
};

extern PlatformOpTable PlatformOps;

// 1 when all four libraries loaded and every operation was found. Every operation is looked
// up whatever failed before it; the verdict is given at the end. The libraries are taken from
// the system folder only.
int BindPlatformOps();

// Makes every later library load, the system's own included, search the system folder only,
// never the program's folder or the current one: the updater runs elevated from wherever it
// was downloaded to, beside whatever else was downloaded there. Called first thing.
void RestrictLibrarySearch();

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
    decltype(&::LoadLibraryExA) LoadLibraryExA;
    decltype(&::GetProcAddress) GetProcAddress;
    decltype(&::GetTempPathA) GetTempPathA;
    // The platform's random number generator; fills the buffer, TRUE on success.
    BOOLEAN(WINAPI* RandomBytes)(PVOID buffer, ULONG size);
    // What the file gate asks of a handle before it acts on it.
    decltype(&::GetFileInformationByHandle) GetFileInformationByHandle;
    decltype(&::GetFinalPathNameByHandleA) GetFinalPathNameByHandleA;
    // What the run's file work cost (core/io_count.h), for a debugger or a benchmark.
    decltype(&::OutputDebugStringA) OutputDebugStringA;
    decltype(&::GetTickCount64) GetTickCount64;
    // The threads that hash what the run writes (update/seal_thread.h) and flush it behind the
    // writer (update/flush_behind.h).
    decltype(&::CreateThread) CreateThread;
    // The flush behind the writer: only a help, whose failure changes nothing, so no fault point
    // of the run's.
    decltype(&::FlushFileBuffers) FlushBehind;
};

extern DirectOpTable DirectOps;

// Reads size bytes at a 64-bit position of a file opened for synchronous reads, through
// PlatformOps, leaving its file pointer after them; 1 only when all of them were read.
int ReadFileAt(HANDLE file, uint64_t position, void* to, uint32_t size);

// Fixed blocks of global memory, through DirectOps. A request for 0 bytes still gets a block.
void* AllocFixed(size_t size);
void FreeFixed(void* block);
