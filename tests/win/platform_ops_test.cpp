#include <windows.h>

#include <gtest/gtest.h>

#include <stdio.h>

#include <string>
#include <vector>

#include "app/startup.h"
#include "core/messages.h"
#include "core/platform_ops.h"
#include "win/win_test_support.h"

namespace {

TEST(PlatformOps, BindsEveryOperationFromTheSystemLibraries) {
    ASSERT_EQ(1, BindPlatformOps());
    const PlatformOpTable& t = PlatformOps;
    EXPECT_NE(nullptr, t.baseLibrary);
    EXPECT_NE(nullptr, t.shellLibrary);
    EXPECT_NE(nullptr, t.registryLibrary);
    const void* ops[] = {
        (void*)t.CreateFileA,        (void*)t.ReadFile,      (void*)t.WriteFile,
        (void*)t.GetFileSize,        (void*)t.CloseHandle,   (void*)t.GetFileAttributesA,
        (void*)t.SetFileAttributesA, (void*)t.MoveFileExA,   (void*)t.DeleteFileA,
        (void*)t.SHFileOperationA,   (void*)t.RegOpenKeyExA, (void*)t.RegQueryValueExA,
        (void*)t.RegCloseKey};
    for (size_t i = 0; i < sizeof ops / sizeof ops[0]; ++i)
        EXPECT_NE(nullptr, ops[i]) << "operation " << i;
    // The bound operation is the system's own.
    EXPECT_EQ((void*)GetProcAddress(GetModuleHandleA("KERNEL32.DLL"), "CreateFileA"),
              (void*)t.CreateFileA);
}

// Library loads and operation lookups, counted; the k-th one fails.
int BindCalls = 0, FailBindCall = 0;
std::vector<DWORD> LoadFlags;
HMODULE WINAPI CountedLoad(LPCSTR name, HANDLE file, DWORD flags) {
    LoadFlags.push_back(flags);
    if (++BindCalls == FailBindCall) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return LoadLibraryExA(name, file, flags);
}
FARPROC WINAPI CountedLookup(HMODULE module, LPCSTR name) {
    if (++BindCalls == FailBindCall) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return GetProcAddress(module, name);
}

TEST(PlatformOps, AnyLibraryOrOperationMissingStopsStartUpWithItsMessage) {
    SavedOps saved;
    DirectOps.LoadLibraryExA = CountedLoad;
    DirectOps.GetProcAddress = CountedLookup;
    BindCalls = FailBindCall = 0;
    LoadFlags.clear();
    ASSERT_EQ(1, BindPlatformOps());
    const int calls = BindCalls;
    // The four libraries come from the system folder only, by that search alone.
    EXPECT_EQ(std::vector<DWORD>(4, (DWORD)LOAD_LIBRARY_SEARCH_SYSTEM32), LoadFlags);
    for (int k = 1; k <= calls; ++k) {
        BindCalls = 0;
        FailBindCall = k;
        EXPECT_EQ(0, BindPlatformOps()) << "call " << k;
        // Every operation is still looked up; only those of a missing library cannot be.
        if (k > 4) {
            EXPECT_EQ(calls, BindCalls) << "call " << k;
        }

        BindCalls = 0;
        ShownMessages.clear();
        lstrcpyA(UpdaterCaption, "UPDATE");
        ExitCode = 1;
        EXPECT_EQ(0, StartUp()) << "call " << k;
        EXPECT_EQ(0, ExitCode);
        EXPECT_EQ(std::vector<std::string>({"UPDATE|COULD NOT MAP SOME FUNCTIONS"}), ShownMessages)
            << "call " << k;
    }
    printf("binding: each of %d loads and lookups failed in turn\n", calls);
}

TEST(PlatformOps, OnceRestrictedTheProgramsFolderIsNotSearched) {
    char exe[MAX_PATH];
    GetModuleFileNameA(nullptr, exe, sizeof exe);
    std::string folder = exe;
    folder.resize(folder.rfind('\\') + 1);
    const std::string planted = folder + "probe_search.dll";
    ASSERT_TRUE(CopyFileA((folder + "probe.dll").c_str(), planted.c_str(), FALSE))
        << "the probe library is built beside the tests";
    HMODULE found = LoadLibraryA("probe_search.dll");
    ASSERT_NE(nullptr, found) << "the program's folder is searched at first";
    FreeLibrary(found);

    RestrictLibrarySearch();
    EXPECT_EQ(nullptr, LoadLibraryA("probe_search.dll"))
        << "a library beside the program was still found";
    EXPECT_NE(nullptr, LoadLibraryA("VERSION.DLL")) << "the system folder is still searched";
    EXPECT_EQ(1, BindPlatformOps());

    // The other tests search as before.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    DeleteFileA(planted.c_str());
    DeleteFileA((planted + ".loaded").c_str());
}

} // namespace
