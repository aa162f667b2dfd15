#include <gtest/gtest.h>

#include "core/platform_ops.h"

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

} // namespace
