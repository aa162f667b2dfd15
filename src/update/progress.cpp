#include "update/progress.h"

#include <commctrl.h>

#include "core/platform_ops.h"

namespace {

HWND ProgressDialog = nullptr;
uint64_t ProgressTotal = 0;
uint64_t ProgressDone = 0;
int ProgressShown = -1;

const int kProgressRange = 1000;
// Each look at the queue is a round trip to the window system on some systems, dearer than a
// megabyte of the run's work; more often than the screen is redrawn gains the user nothing.
const uint64_t kPumpIntervalMs = 10;
uint64_t LastPump = 0;
// Each move of the bar repaints it at once on some systems, about a millisecond each: moved with
// every megabyte written, that was a seventh of the time a large file took to stage under Wine.
// Twenty moves a second still look continuous.
const uint64_t kBarIntervalMs = 50;
uint64_t LastBarMove = 0;

} // namespace

void PumpMessages() {
    const uint64_t now = DirectOps.GetTickCount64();
    if (now - LastPump < kPumpIntervalMs)
        return;
    LastPump = now;
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            // Belongs to the modal loop that owns the thread: leave it for that loop.
            PostQuitMessage((int)msg.wParam);
            return;
        }
        if (!ProgressDialog || !IsDialogMessageA(ProgressDialog, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
}

void BeginProgress(HWND dialog, uint64_t total) {
    ProgressDialog = dialog;
    ProgressTotal = total;
    ProgressDone = 0;
    ProgressShown = -1;
    HWND bar = GetDlgItem(dialog, kProgressId);
    if (bar) {
        SendMessageA(bar, PBM_SETRANGE32, 0, kProgressRange);
        SendMessageA(bar, PBM_SETPOS, 0, 0);
        ShowWindow(bar, SW_SHOW);
    }
    PumpMessages();
}

void AdvanceProgress(uint64_t bytes) {
    if (!ProgressDialog)
        return;
    ProgressDone += bytes;
    const uint64_t done = ProgressDone < ProgressTotal ? ProgressDone : ProgressTotal;
    const int position = ProgressTotal ? (int)(done * kProgressRange / ProgressTotal) : 0;
    const uint64_t now = DirectOps.GetTickCount64();
    // The full bar is always shown: it is the last move before the page changes.
    if (position != ProgressShown &&
        (position == kProgressRange || now - LastBarMove >= kBarIntervalMs)) {
        ProgressShown = position;
        LastBarMove = now;
        SendDlgItemMessageA(ProgressDialog, kProgressId, PBM_SETPOS, (WPARAM)position, 0);
    }
    PumpMessages();
}

void EndProgress() {
    if (ProgressDialog) {
        HWND bar = GetDlgItem(ProgressDialog, kProgressId);
        if (bar)
            ShowWindow(bar, SW_HIDE);
    }
    ProgressDialog = nullptr;
}
