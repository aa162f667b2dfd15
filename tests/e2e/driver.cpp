#include "e2e/driver.h"

#include <stdio.h>
#include <stdlib.h>

namespace {

const DWORD kRunTimeoutMs = 60000;

// A benchmark's run of many gigabytes may take longer: UPDRIVER_TIMEOUT_MS says how long.
DWORD RunTimeoutMs() {
    char value[32];
    const DWORD n = GetEnvironmentVariableA("UPDRIVER_TIMEOUT_MS", value, sizeof value);
    const DWORD ms = n > 0 && n < sizeof value ? (DWORD)strtoul(value, nullptr, 10) : 0;
    return ms ? ms : kRunTimeoutMs;
}
const DWORD kPollMs = 50;

std::string TextOf(HWND w) {
    char buffer[4096];
    DWORD_PTR got = 0;
    if (!SendMessageTimeoutA(w, WM_GETTEXT, sizeof buffer, (LPARAM)buffer, SMTO_ABORTIFHUNG, 2000,
                             &got))
        return std::string();
    return std::string(buffer, got);
}

std::string ClassOf(HWND w) {
    char name[256];
    const int n = GetClassNameA(w, name, sizeof name);
    return std::string(name, n > 0 ? n : 0);
}

struct ChildList {
    std::vector<HWND> handles;
};

BOOL CALLBACK CollectChild(HWND w, LPARAM param) {
    ((ChildList*)param)->handles.push_back(w);
    return TRUE;
}

// The pixels of a w x h area: of the screen at (x, y), or, with icon, of that icon drawn on
// the colour background.
std::vector<COLORREF> Pixels(int x, int y, int w, int h, HICON icon, COLORREF background) {
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, w, h);
    HGDIOBJ old = SelectObject(memory, bitmap);
    if (icon) {
        RECT all = {0, 0, w, h};
        HBRUSH brush = CreateSolidBrush(background);
        FillRect(memory, &all, brush);
        DeleteObject(brush);
        DrawIconEx(memory, 0, 0, icon, w, h, 0, nullptr, DI_NORMAL);
    } else {
        BitBlt(memory, 0, 0, w, h, screen, x, y, SRCCOPY);
    }
    std::vector<COLORREF> pixels;
    for (int j = 0; j < h; ++j)
        for (int i = 0; i < w; ++i)
            pixels.push_back(GetPixel(memory, i, j));
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return pixels;
}

long Difference(const std::vector<COLORREF>& a, const std::vector<COLORREF>& b) {
    long sum = 0;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i)
        sum += abs(GetRValue(a[i]) - GetRValue(b[i])) + abs(GetGValue(a[i]) - GetGValue(b[i])) +
               abs(GetBValue(a[i]) - GetBValue(b[i]));
    return sum;
}

// Which of the system's icons a box shows. Icon handles are private to a process, so the
// shown pixels are compared with each icon drawn here; the closest one names it.
std::string IconOf(HWND box) {
    HWND shown = nullptr;
    for (HWND c = GetWindow(box, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
        if ((GetWindowLongA(c, GWL_STYLE) & SS_TYPEMASK) == SS_ICON && IsWindowVisible(c))
            shown = c;
    DWORD_PTR handle = 0;
    if (shown)
        SendMessageTimeoutA(shown, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 2000, &handle);
    RECT rc;
    if (!handle || !GetWindowRect(shown, &rc) || rc.right - rc.left < 8 || rc.bottom - rc.top < 8)
        return "none";
    // A box wider than the screen is centred past its left edge, icon included: bring it in.
    if (rc.left < 0 || rc.top < 0) {
        RECT box;
        GetWindowRect(shown, &rc);
        GetWindowRect(GetParent(shown), &box);
        SetWindowPos(GetParent(shown), nullptr, box.left - (rc.left < 0 ? rc.left : 0),
                     box.top - (rc.top < 0 ? rc.top : 0), 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        RedrawWindow(GetParent(shown), nullptr, nullptr,
                     RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
        Sleep(200);
        GetWindowRect(shown, &rc);
    }
    const int w = rc.right - rc.left, h = rc.bottom - rc.top;
    const std::vector<COLORREF> screen = Pixels(rc.left, rc.top, w, h, nullptr, 0);
    const COLORREF background = screen[0];
    bool blank = true; // a box without an icon may keep an empty icon control
    for (COLORREF c : screen)
        blank = blank && c == background;
    if (blank)
        return "none";
    const struct {
        LPCSTR id;
        const char* name;
    } known[] = {{IDI_HAND, "stop"},
                 {IDI_QUESTION, "question"},
                 {IDI_EXCLAMATION, "warning"},
                 {IDI_ASTERISK, "information"}};
    std::string best = "other";
    long bestDifference = (long)w * h * 3 * 16; // closer than this, or it is none of them
    for (const auto& k : known) {
        const long d = Difference(screen, Pixels(0, 0, w, h, LoadIconA(nullptr, k.id), background));
        if (d < bestDifference) {
            bestDifference = d;
            best = k.name;
        }
    }
    return best;
}

WindowRecord Snapshot(HWND w) {
    WindowRecord r;
    r.caption = TextOf(w);
    r.className = ClassOf(w);
    ChildList children;
    EnumChildWindows(w, CollectChild, (LPARAM)&children);
    for (HWND c : children.handles) {
        if (GetParent(c) != w)
            continue;
        ControlRecord control;
        control.id = GetDlgCtrlID(c);
        control.className = ClassOf(c);
        control.text = TextOf(c);
        control.enabled = IsWindowEnabled(c) != 0;
        control.visible = IsWindowVisible(c) != 0;
        control.checked = -1;
        if (_stricmp(control.className.c_str(), "Button") == 0) {
            DWORD_PTR state = 0;
            SendMessageTimeoutA(c, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, 2000, &state);
            control.checked = (int)state;
        }
        r.controls.push_back(control);
    }
    r.icon = IconOf(w);
    return r;
}

bool SameState(const WindowRecord& a, const WindowRecord& b) {
    if (a.caption != b.caption || a.controls.size() != b.controls.size())
        return false;
    for (size_t i = 0; i < a.controls.size(); ++i) {
        const ControlRecord& x = a.controls[i];
        const ControlRecord& y = b.controls[i];
        if (x.id != y.id || x.text != y.text || x.enabled != y.enabled || x.visible != y.visible ||
            x.checked != y.checked)
            return false;
    }
    return true;
}

struct TopWindowSearch {
    DWORD pid;
    HWND found;
};

BOOL CALLBACK FindActiveWindow(HWND w, LPARAM param) {
    TopWindowSearch* s = (TopWindowSearch*)param;
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    // The window that takes input: a dialog under its own message box is disabled.
    if (pid == s->pid && IsWindowVisible(w) && IsWindowEnabled(w)) {
        s->found = w;
        return FALSE;
    }
    return TRUE;
}

HWND ActiveWindowOf(DWORD pid) {
    TopWindowSearch s = {pid, nullptr};
    EnumWindows(FindActiveWindow, (LPARAM)&s);
    return s.found;
}

void SaveScreenshot(HWND w, const std::string& file) {
    RECT rc;
    if (!GetWindowRect(w, &rc))
        return;
    const int width = rc.right - rc.left, height = rc.bottom - rc.top;
    if (width <= 0 || height <= 0)
        return;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = width;
    bi.bmiHeader.biHeight = height;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 24;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP dib = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, dib);
    BitBlt(memory, 0, 0, width, height, screen, rc.left, rc.top, SRCCOPY);
    SelectObject(memory, old);
    const DWORD stride = ((DWORD)width * 3 + 3) & ~3u;
    const DWORD imageSize = stride * (DWORD)height;
    BITMAPFILEHEADER fh = {};
    fh.bfType = 0x4D42;
    fh.bfOffBits = sizeof fh + sizeof bi.bmiHeader;
    fh.bfSize = fh.bfOffBits + imageSize;
    bi.bmiHeader.biSizeImage = imageSize;
    FILE* f = fopen(file.c_str(), "wb");
    if (f) {
        fwrite(&fh, sizeof fh, 1, f);
        fwrite(&bi.bmiHeader, sizeof bi.bmiHeader, 1, f);
        fwrite(bits, imageSize, 1, f);
        fclose(f);
    }
    DeleteObject(dib);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
}

void Apply(HWND w, const std::string& step) {
    if (step == "close") {
        PostMessageA(w, WM_CLOSE, 0, 0);
        return;
    }
    if (step.compare(0, 4, "cmd:") == 0) {
        // Straight to the dialog, even while a box of its own covers it.
        HWND owner = GetWindow(w, GW_OWNER);
        PostMessageA(owner ? owner : w, WM_COMMAND, MAKEWPARAM(atoi(step.c_str() + 4), 0), 0);
        return;
    }
    int id = 0;
    if (step == "OK")
        id = IDOK;
    else if (step == "Cancel")
        id = IDCANCEL;
    else if (step.compare(0, 6, "click:") == 0)
        id = atoi(step.c_str() + 6);
    HWND control = GetDlgItem(w, id);
    if (control)
        PostMessageA(control, BM_CLICK, 0, 0);
    else
        PostMessageA(w, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
}

bool IsWorkingPage(const WindowRecord& r) {
    if (r.IsMessageBox())
        return false;
    const int buttons[] = {1, 2, 4};
    for (int id : buttons) {
        const ControlRecord* c = r.Control(id);
        if (!c || c->enabled)
            return false;
    }
    return true;
}

// Waits until the process shows a window state that differs from the last one answered (a new
// window, or the same window changed), or ends. Returns the window or null at the end.
HWND WaitForNextState(HANDLE process, DWORD pid, HWND lastWindow, const WindowRecord* lastState,
                      DWORD deadline, bool* timedOut) {
    WindowRecord previous;
    HWND previousWindow = nullptr;
    for (;;) {
        if (WaitForSingleObject(process, 0) == WAIT_OBJECT_0)
            return nullptr;
        if (GetTickCount() > deadline) {
            *timedOut = true;
            return nullptr;
        }
        // A process busy with work has no state worth recording yet.
        WaitForInputIdle(process, 1000);
        HWND w = ActiveWindowOf(pid);
        if (w) {
            WindowRecord now = Snapshot(w);
            // The update dialog while the run works (Next, Back and Cancel all disabled) takes
            // no answer: however long a slow machine shows it, it is no state of its own.
            if (IsWorkingPage(now)) {
                previousWindow = nullptr;
                Sleep(kPollMs);
                continue;
            }
            const bool changed = w != lastWindow || !lastState || !SameState(now, *lastState);
            // A state counts once it holds over two polls: windows fill their controls
            // after they appear.
            if (changed && w == previousWindow && SameState(now, previous))
                return w;
            previous = now;
            previousWindow = w;
        } else {
            previousWindow = nullptr;
        }
        Sleep(kPollMs);
    }
}

} // namespace

std::string WindowRecord::StaticText() const {
    std::string text;
    for (const ControlRecord& c : controls) {
        if (!c.visible || _stricmp(c.className.c_str(), "Static") != 0 || c.text.empty())
            continue;
        if (!text.empty())
            text += "\n";
        text += c.text;
    }
    return text;
}

const ControlRecord* WindowRecord::Control(int id) const {
    for (const ControlRecord& c : controls)
        if (c.id == id)
            return &c;
    return nullptr;
}

std::string Transcript::Text() const {
    std::string out;
    for (const WindowRecord& w : windows) {
        out += "window [" + w.caption + "] " + w.className + " icon " + w.icon + "\n";
        for (const ControlRecord& c : w.controls) {
            char line[64];
            snprintf(line, sizeof line, "  %d %s%s%s ", c.id, c.className.c_str(),
                     c.enabled ? "" : " disabled", c.visible ? "" : " hidden");
            out += line + ("[" + c.text + "]\n");
        }
        out += "  -> " + w.answer + "\n";
    }
    char tail[64];
    if (!started)
        snprintf(tail, sizeof tail, "not started: error %lu\n", (unsigned long)startError);
    else
        snprintf(tail, sizeof tail, "exit %lu%s\n", (unsigned long)exitCode,
                 timedOut ? " (timed out)" : "");
    return out + tail;
}

std::string WindowsPath(const std::string& path) {
    if (path.empty() || path[0] != '/')
        return path;
    std::string out = "Z:" + path;
    for (char& c : out)
        if (c == '/')
            c = '\\';
    return out;
}

std::string ScreenshotFolder() {
    char cwd[MAX_PATH];
    GetCurrentDirectoryA(sizeof cwd, cwd);
    std::string folder = std::string(cwd) + "\\screenshots";
    CreateDirectoryA(folder.c_str(), nullptr);
    return folder;
}

bool StartProcess(const std::string& exe, PROCESS_INFORMATION* process) {
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    std::string commandLine = "\"" + exe + "\"";
    return CreateProcessA(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                          nullptr, &si, process) != 0;
}

Transcript DriveProcess(PROCESS_INFORMATION& pi, const std::vector<std::string>& script,
                        const std::string& screenshotPrefix, StepHook hook) {
    Transcript t;
    t.started = true;
    const DWORD deadline = GetTickCount() + RunTimeoutMs();
    HWND last = nullptr;
    WindowRecord lastState;
    size_t step = 0;
    for (;;) {
        HWND w = WaitForNextState(pi.hProcess, pi.dwProcessId, last, last ? &lastState : nullptr,
                                  deadline, &t.timedOut);
        if (!w)
            break;
        WindowRecord r = Snapshot(w);
        if (!screenshotPrefix.empty()) {
            char name[32];
            snprintf(name, sizeof name, "-%02u.bmp", (unsigned)t.windows.size() + 1);
            r.screenshot = ScreenshotFolder() + "\\" + screenshotPrefix + name;
            SaveScreenshot(w, r.screenshot);
        }
        r.answer = step < script.size() ? script[step++] : "close";
        if (hook)
            hook(t.windows.size(), r);
        lastState = r;
        // A command to the dialog leaves the window as it was: record it again.
        last = r.answer.compare(0, 4, "cmd:") == 0 ? nullptr : w;
        t.windows.push_back(r);
        Apply(w, r.answer);
    }
    if (t.timedOut)
        TerminateProcess(pi.hProcess, 0xDEAD);
    WaitForSingleObject(pi.hProcess, 10000);
    GetExitCodeProcess(pi.hProcess, &t.exitCode);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return t;
}

Transcript RunAndAnswer(const std::string& exe, const std::vector<std::string>& script,
                        const std::string& screenshotPrefix, StepHook hook) {
    PROCESS_INFORMATION pi = {};
    if (!StartProcess(exe, &pi)) {
        Transcript t;
        t.startError = GetLastError();
        return t;
    }
    return DriveProcess(pi, script, screenshotPrefix, hook);
}
