// Usage: mkupdate_win_tests UPDATE.exe mkupdate.exe deltas.qv2 (paths as CTest passes them).
#include <gtest/gtest.h>

#include <stdio.h>

#include <string>

std::string BuiltUpdater;
std::string BuiltMkupdate;
std::string DeltaFixture;

namespace {

// CTest passes Unix paths; under Wine they lie on drive Z:.
std::string WindowsPath(std::string path) {
    if (path.empty() || path[0] != '/')
        return path;
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return "Z:" + path;
}

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (argc < 4) {
        fprintf(stderr, "usage: %s UPDATE.exe mkupdate.exe deltas.qv2\n", argv[0]);
        return 2;
    }
    BuiltUpdater = WindowsPath(argv[1]);
    BuiltMkupdate = WindowsPath(argv[2]);
    DeltaFixture = WindowsPath(argv[3]);
    return RUN_ALL_TESTS();
}
