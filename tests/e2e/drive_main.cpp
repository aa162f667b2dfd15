// updriver: runs UPDATE.exe and answers its windows by a script, as the end-to-end tests do,
// for the demo on a machine without a person at the screen.
// Usage: updriver UPDATE.exe SCREENSHOT_PREFIX STEP... (steps as in e2e/driver.h)
// Prints the transcript (CP932) and exits with UPDATE.exe's exit code.
#include <stdio.h>

#include <string>
#include <vector>

#include "e2e/driver.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: updriver UPDATE.exe SCREENSHOT_PREFIX STEP...\n");
        return 2;
    }
    std::vector<std::string> script(argv + 3, argv + argc);
    Transcript t = RunAndAnswer(WindowsPath(argv[1]), script, argv[2]);
    if (!t.started) {
        fprintf(stderr, "updriver: cannot start %s\n", argv[1]);
        return 2;
    }
    fputs(t.Text().c_str(), stdout);
    return t.timedOut ? 3 : (int)t.exitCode;
}
