// The working page's progress bar, and the message pumping that keeps the dialog painted and
// responsive while the run works on the dialog's own thread. The run's buttons stay inert
// meanwhile through DialogBusy.
#pragma once

#include <windows.h>

#include <stdint.h>

const int kProgressId = 1004;

// Shows the bar at zero for a run of total bytes.
void BeginProgress(HWND dialog, uint64_t total);
// Counts bytes done, moves the bar and lets the dialog handle what is waiting.
void AdvanceProgress(uint64_t bytes);
// Hides the bar (every page but the working one).
void EndProgress();
// Handles the messages waiting for the dialog's thread, without blocking; a call within a few
// milliseconds of the last one that looked does nothing.
void PumpMessages();
