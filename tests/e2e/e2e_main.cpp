// End-to-end tests of the real UPDATE.exe.
// Usage: updater_e2e_tests PATH_TO_UPDATE_EXE [PATH_TO_CRASH_TEST_COPY]
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include "e2e/driver.h"
#include "e2e/updater_setup.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (argc < 2) {
        fprintf(stderr, "usage: %s UPDATE.exe\n", argv[0]);
        return 2;
    }
    BuiltUpdater = WindowsPath(argv[1]);
    if (argc > 2)
        CrashUpdater = WindowsPath(argv[2]);
    return RUN_ALL_TESTS();
}
