// The updater's one window: a modal dialog of three pages (greeting with the optional licence,
// confirmation, then progress and completion of the update run).
#pragma once

#include <windows.h>

#include <stdint.h>

// 0 on the greeting page, 1 on the confirm page, 2 once the update run has returned.
extern int32_t DialogStage;
// 1 while a Next or Back press is handled, the update run included: commands that arrive
// meanwhile through nested message loops are dropped.
extern int32_t DialogBusy;

const int kGreetingTemplate = 100;
const int kLicenceTemplate = 101;
const int kLicenceBoxId = 1000;
const int kAgreeId = 1002;
const int kDisagreeId = 1003;

INT_PTR CALLBACK UpdateDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
void InitGreetingPage(HWND dialog);
void ShowConfirmPage(HWND dialog);
