// The file gate takes every path the elevated updater acts on apart below a folder it holds and
// compares what the platform reports with it: whatever bytes it is given, it must not run past
// them, and what it accepts must put the path back together exactly.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "core/path_walk.h"
#include "fuzz_input.h"
#include "shared/char_step.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Two strings: a path and, after the first NUL, a folder.
    std::string path, folder;
    TwoStrings(data, size, 600, &path, &folder);
    WalkNames names;
    if (SplitBelow(path.c_str(), folder.c_str(), &names, TestCharStep)) {
        // The names put back together below the folder give the path, byte for byte.
        std::string joined = folder;
        for (int i = 0; i < names.count; ++i) {
            const std::string name = path.substr(names.start[i], names.length[i]);
            Require(IsWalkableName(name.c_str(), name.size(), TestCharStep));
            Require(name != "." && name != "..");
            if (i > 0 || !IsDriveRoot(folder.c_str()))
                joined += '\\';
            joined += name;
        }
        Require(names.count > 0 && joined == path);
        Require(IsSameOrBelow(path.c_str(), folder.c_str(), TestCharStep));
        Require(!IsSamePlace(path.c_str(), folder.c_str(), TestCharStep));
    }
    const int same = IsSamePlace(path.c_str(), folder.c_str(), TestCharStep);
    Require(same == IsSamePlace(folder.c_str(), path.c_str(), TestCharStep));
    Require(!same || IsSameOrBelow(path.c_str(), folder.c_str(), TestCharStep));
    return 0;
}
