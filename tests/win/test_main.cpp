// Test entry for the tests that run under Wine: the platform operations are bound as the
// updater binds them, and message boxes are recorded instead of shown.
#include <gtest/gtest.h>

#include <stdio.h>

#include "core/platform_ops.h"
#include "win/win_test_support.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (!BindPlatformOps()) {
        fprintf(stderr, "the platform operations could not be bound\n");
        return 2;
    }
    DirectOps.MessageBoxA = RecordMessageBox;
    return RUN_ALL_TESTS();
}
