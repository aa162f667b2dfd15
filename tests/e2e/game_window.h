// A window standing for the running game, for the updater's running-game checks.
#pragma once

#include <windows.h>

#include <process.h>

// A window standing for the running game, on a thread of its own that answers its messages.
struct GameWindow {
    const char* className;
    const char* title;
    HWND window = nullptr;
    HANDLE thread = nullptr;
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);

    GameWindow(const char* cls, const char* t) : className(cls), title(t) {
        thread = (HANDLE)_beginthreadex(nullptr, 0, Main, this, 0, nullptr);
        WaitForSingleObject(ready, 10000);
    }
    ~GameWindow() {
        Close();
        WaitForSingleObject(thread, 10000);
        CloseHandle(thread);
        CloseHandle(ready);
    }
    // Returns once the window is gone: an updater that looks right after must not find it,
    // however slowly the machine runs.
    void Close() {
        if (window)
            SendMessageA(window, WM_CLOSE, 0, 0);
    }
    static LRESULT CALLBACK Proc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
        if (m == WM_DESTROY)
            PostQuitMessage(0);
        return DefWindowProcA(w, m, wp, lp);
    }
    static unsigned __stdcall Main(void* arg) {
        GameWindow* g = (GameWindow*)arg;
        WNDCLASSA wc = {};
        wc.lpfnWndProc = Proc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = g->className;
        RegisterClassA(&wc);
        g->window = CreateWindowA(g->className, g->title, WS_OVERLAPPEDWINDOW, 10, 10, 200, 100,
                                  nullptr, nullptr, wc.hInstance, nullptr);
        SetEvent(g->ready);
        MSG msg;
        while (GetMessageA(&msg, nullptr, 0, 0) > 0)
            DispatchMessageA(&msg);
        g->window = nullptr;
        UnregisterClassA(g->className, wc.hInstance);
        return 0;
    }
};
