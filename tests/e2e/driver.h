// Drives a real UPDATE.exe as a user would: starts it, waits for each window it opens, records
// the window (caption, controls, texts, enabled states) in a transcript, takes a screenshot,
// and answers by script, until the process ends.
#pragma once

#include <windows.h>

#include <stdint.h>

#include <string>
#include <vector>

struct ControlRecord {
    int id;
    std::string className;
    std::string text;
    bool enabled;
    bool visible;
    int checked; // BM_GETCHECK for buttons, else -1
};

struct WindowRecord {
    std::string caption;
    std::string className;
    std::vector<ControlRecord> controls;
    // The icon a message box shows: "stop", "question", "warning", "information", "none", or
    // "other" for one that is none of the system's.
    std::string icon;
    std::string answer;     // the step of the script applied to it
    std::string screenshot; // BMP file written for it, if any

    // The text of the visible static controls, in order, joined by newlines: a message box's
    // message, a dialog's texts.
    std::string StaticText() const;
    const ControlRecord* Control(int id) const;
    // A message box rather than the update dialog: it has no info text control.
    bool IsMessageBox() const { return !Control(1001); }
};

struct Transcript {
    std::vector<WindowRecord> windows;
    DWORD exitCode = 0xFFFFFFFF;
    bool started = false;
    DWORD startError = 0; // why the process could not be started
    bool timedOut = false;
    std::string Text() const; // readable form, for failure messages
};

// One step per window state the updater shows, in order:
//   "OK", "Cancel"   press that button (IDOK, IDCANCEL)
//   "click:N"        press the control with id N (the window may stay, with a new state)
//   "cmd:N"          post command N to the dialog, even while one of its boxes covers it
//                    (the window state then stays as it was)
//   "close"          send WM_CLOSE
// When the script runs out, further windows are recorded and closed, so nothing hangs.
// Called with each recorded window state before its step is applied: lets a test change the
// world between steps (free disk space, close the game's window).
typedef void (*StepHook)(size_t index, const WindowRecord& window);

Transcript RunAndAnswer(const std::string& exe, const std::vector<std::string>& script,
                        const std::string& screenshotPrefix, StepHook hook = nullptr);

// The same for a process the test started itself, which the driver then waits for and closes.
bool StartProcess(const std::string& exe, PROCESS_INFORMATION* process);
Transcript DriveProcess(PROCESS_INFORMATION& process, const std::vector<std::string>& script,
                        const std::string& screenshotPrefix, StepHook hook = nullptr);

// The build tree's folder for screenshots (created on first use).
std::string ScreenshotFolder();

// A Windows path for a path as CTest passes it: Unix absolute paths live on drive Z:.
std::string WindowsPath(const std::string& path);
