#include "update/update_dialog.h"

#include "core/messages.h"
#include "core/run_state.h"
#include "update/info_text.h"
#include "update/update_run.h"

int32_t DialogStage = 0;
int32_t DialogBusy = 0;

namespace {

void Enable(HWND dialog, int id, bool enabled) {
    EnableWindow(GetDlgItem(dialog, id), enabled ? TRUE : FALSE);
}

void Show(HWND dialog, int id, bool shown) {
    HWND control = GetDlgItem(dialog, id);
    if (control)
        ShowWindow(control, shown ? SW_SHOW : SW_HIDE);
}

void ShowLicenceControls(HWND dialog, bool shown) {
    Show(dialog, kLicenceBoxId, shown);
    Show(dialog, kAgreeId, shown);
    Show(dialog, kDisagreeId, shown);
}

// Next runs the current stage's handler and moves one stage on; Back runs the handler two
// stages below and ends one stage below, which shows the previous page again.
void Step(HWND dialog, int command) {
    if (DialogBusy)
        return;
    DialogBusy = 1;
    SetInfoText(dialog, "");
    if (command == kBackId)
        DialogStage -= 2;
    switch (DialogStage) {
    case 0:
        ShowConfirmPage(dialog);
        break;
    case 1:
        RunUpdate(dialog);
        break;
    case 2:
        EndDialog(dialog, 0);
        break;
    default:
        break;
    }
    ++DialogStage;
    DialogBusy = 0;
}

} // namespace

void InitGreetingPage(HWND dialog) {
    MessageOwner = dialog;
    DialogBusy = 0;
    DialogStage = 0;
    SetWindowTextA(dialog, UpdaterCaption);
    if (GreetingText) {
        SetInfoTextWithoutArguments(dialog, GreetingText);
    } else {
        SetInfoText(dialog, "「%s」の%sを開始します",
                    InstallMode ? UpdaterConfig.UpdaterTitle : GameIdentity.GameTitle, ModeWord);
    }
    Enable(dialog, kBackId, false);
    Enable(dialog, kCancelId, true);
    if (LicenceText) {
        Enable(dialog, kNextId, false);
        SetDlgItemTextA(dialog, kLicenceBoxId, LicenceText);
        Enable(dialog, kLicenceBoxId, true);
        Enable(dialog, kAgreeId, true);
        Enable(dialog, kDisagreeId, true);
        CheckRadioButton(dialog, kAgreeId, kDisagreeId, kDisagreeId);
        ShowLicenceControls(dialog, true);
    } else {
        Enable(dialog, kNextId, true);
        ShowLicenceControls(dialog, false);
    }
}

void ShowConfirmPage(HWND dialog) {
    SetInfoText(dialog, "%sを実行します", ModeWord);
    Enable(dialog, kBackId, false);
    Enable(dialog, kNextId, true);
    Enable(dialog, kCancelId, true);
    ShowLicenceControls(dialog, false);
}

INT_PTR CALLBACK UpdateDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_SETCURSOR:
        if (!DialogBusy)
            return FALSE;
        SetCursor(LoadCursorA(nullptr, IDC_WAIT));
        SetWindowLongPtrA(dialog, DWLP_MSGRESULT, TRUE);
        return TRUE;
    case WM_INITDIALOG:
        InitGreetingPage(dialog);
        return FALSE;
    case WM_DESTROY:
        MessageOwner = nullptr;
        return FALSE;
    case WM_COMMAND:
        if (HIWORD(wParam) != 0)
            return FALSE;
        switch (LOWORD(wParam)) {
        case kNextId:
        case kBackId:
            Step(dialog, LOWORD(wParam));
            break;
        case kCancelId:
            if (!DialogBusy)
                EndDialog(dialog, -1);
            break;
        case kAgreeId:
            Enable(dialog, kNextId, true);
            CheckRadioButton(dialog, kAgreeId, kDisagreeId, kAgreeId);
            break;
        case kDisagreeId:
            Enable(dialog, kNextId, false);
            CheckRadioButton(dialog, kAgreeId, kDisagreeId, kDisagreeId);
            break;
        default:
            break;
        }
        return FALSE;
    default:
        return FALSE;
    }
}
