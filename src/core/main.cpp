// The updater's entry point: a GUI program without a window of its own and without arguments.
#include <windows.h>

#include "core/startup.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    return RunUpdater(instance);
}
