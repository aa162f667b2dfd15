#include "core/startup.h"

#include <gtest/gtest.h>

namespace {

TEST(InstallModeOf, NonZeroNumberMeansInstall) {
    struct Case {
        const char* value;
        int32_t mode;
    };
    const Case cases[] = {{"0", 0}, {"abc", 0}, {"", 0},   {"1", 1},
                          {"2", 1}, {" 3", 1},  {"-1", 1}, {"0x1", 0}};
    for (const Case& c : cases)
        EXPECT_EQ(c.mode, InstallModeOf(c.value)) << "'" << c.value << "'";
}

} // namespace
