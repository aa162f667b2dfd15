/* A library that only marks that it was loaded: a file named after itself plus ".loaded".
   Copied beside UPDATE.exe under the names of system libraries, it shows whether the updater
   would load a library planted in its folder. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        char path[MAX_PATH + 8];
        const DWORD length = GetModuleFileNameA(self, path, MAX_PATH);
        if (length && length < MAX_PATH) {
            lstrcatA(path, ".loaded");
            HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
            if (h != INVALID_HANDLE_VALUE)
                CloseHandle(h);
        }
    }
    return TRUE;
}
