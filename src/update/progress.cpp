#include "update/progress.h"

#include <commctrl.h>

namespace {

HWND ProgressDialog = nullptr;
uint64_t ProgressTotal = 0;
uint64_t ProgressDone = 0;
int ProgressShown = -1;

const int kProgressRange = 1000;

} // namespace

void PumpMessages() {
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
    if (position != ProgressShown) {
        ProgressShown = position;
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
