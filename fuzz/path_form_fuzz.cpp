// The exact-path check guards every path the elevated updater acts on when the path comes back
// from outside its hands: whatever bytes it is given, it must not run past them, and what it
// accepts must keep the properties recovery relies on.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "core/path_form.h"
#include "fuzz_input.h"
#include "shared/char_step.h"

namespace {

// Properties of a path the check accepted.
void CheckAccepted(const std::string& path) {
    Require(path.size() < kPathSize && path[1] == ':' && path[2] == '\\');
    std::string copy = path;
    DropTrailingBackslash(&copy[0], TestCharStep);
    Require(strcmp(copy.c_str(), path.c_str()) == 0);
    Require(!IsCanonicalPath((path + "\\").c_str(), TestCharStep) || path.size() == 3);
    Require(!IsCanonicalPath((path + "\\.").c_str(), TestCharStep));
    Require(!IsCanonicalPath((path + "\\a.").c_str(), TestCharStep));
    Require(!IsStrictlyInside(path.c_str(), path.c_str()));
    if (path.size() == 3)
        return;
    // Its folder is exact too, and holds it.
    std::string folder = path.substr(0, FolderPartOf(path.c_str(), TestCharStep));
    DropTrailingBackslash(&folder[0], TestCharStep);
    folder.resize(strlen(folder.c_str()));
    Require(IsCanonicalPath(folder.c_str(), TestCharStep));
    Require(IsStrictlyInside(path.c_str(), folder.c_str()));
    // A run name beside it is recognised only in its exact spelling.
    std::string run = path.substr(0, FolderPartOf(path.c_str(), TestCharStep)) + "~qv0123abcd.new";
    Require(IsRunNameBeside(run.c_str(), path.c_str(), ".new", TestCharStep));
    Require(!IsRunNameBeside(run.c_str(), path.c_str(), ".old", TestCharStep));
    run[run.size() - 5] = 'g';
    Require(!IsRunNameBeside(run.c_str(), path.c_str(), ".new", TestCharStep));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Two strings: a path and, after the first NUL, a folder.
    std::string path, folder;
    TwoStrings(data, size, 600, &path, &folder);
    if (IsCanonicalPath(path.c_str(), TestCharStep))
        CheckAccepted(path);
    // One name without a separator byte: the path's check is the name's rule, nothing else.
    const NameForm form = CheckNameForm(path.data(), path.size(), TestCharStep);
    // (An empty one leaves the drive root, which is exact.)
    if (!path.empty() && path.find('\\') == std::string::npos && path.size() < 200)
        Require((form == kNameExact) ==
                (IsCanonicalPath(("C:\\" + path).c_str(), TestCharStep) == 1));
    const int inside = IsStrictlyInside(path.c_str(), folder.c_str());
    Require(!inside ||
            (path.compare(0, folder.size(), folder) == 0 && path.size() > folder.size()));
    IsRunNameBeside(path.c_str(), folder.c_str(), ".dir", TestCharStep);
    std::string dropped = path;
    dropped.push_back(0);
    DropTrailingBackslash(&dropped[0], TestCharStep);
    Require(strlen(dropped.c_str()) <= path.size());
    return 0;
}
