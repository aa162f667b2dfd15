// The updater's entry point: a GUI program without a window of its own and without arguments.
#include <windows.h>

#include "app/startup.h"
#include "core/platform_ops.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // Before COM or anything else can load a library.
    RestrictLibrarySearch();
    return RunUpdater(instance);
}
