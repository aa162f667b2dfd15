#include "app/launch.h"

#include <windows.h>

#include <string.h>

#include "app/startup.h"
#include "core/messages.h"
#include "core/platform_ops.h"
#include "settings/install_settings.h"
#include "update/commit.h"
#include "update/update_dialog.h"

#include <commctrl.h>

namespace {

void ComposeCaption() {
    if (UpdaterConfig.UpdaterTitle[0])
        lstrcpynA(UpdaterCaption, UpdaterConfig.UpdaterTitle, sizeof UpdaterCaption);
    else
        wsprintfA(UpdaterCaption, "%s アップデータ %s", GameIdentity.GameTitle,
                  UpdaterConfig.UpdaterVersion);
}

void BringToFront(HWND window) {
    ShowWindow(window, SW_SHOW);
    SetForegroundWindow(window);
}

// The same updater's dialog is open already: it comes to the front instead.
int AlreadyOpen() {
    HWND other = FindWindowA("#32770", UpdaterCaption);
    if (!other)
        return 0;
    BringToFront(other);
    return 1;
}

// 1 when no game window of the class and title is open, or the user closed it and answered
// OK; 0 after Cancel, with the game's window brought to the front.
int GameClosed(const char* title) {
    for (;;) {
        HWND game = FindWindowA(GameIdentity.GameClass, title);
        if (!game)
            return 1;
        char text[kMessageSize];
        wsprintfA(text,
                  "「%s」が実行中です。アップデートを続行する場合はゲームを終了してから [OK] "
                  "を、アップデートを中止する場合は [キャンセル] を押して下さい",
                  title);
        if (DirectOps.MessageBoxA(nullptr, text, UpdaterCaption, MB_OKCANCEL) != IDOK) {
            BringToFront(game);
            return 0;
        }
    }
}

} // namespace

int LaunchUpdate() {
    if (!LoadInstallSettings())
        return 0;
    ComposeCaption();
    if (AlreadyOpen())
        return 0;
    if (!GameClosed(GameIdentity.GameTitle))
        return 0;
    if (UpdaterConfig.GameTitleA[0] && !GameClosed(UpdaterConfig.GameTitleA))
        return 0;
    // With no other updater's dialog open and the game closed, nobody else is changing the
    // files: what an interrupted run left can be taken back now.
    if (!RecoverInterruptedRun())
        return 0;
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    const int templateId = LicenceText ? kLicenceTemplate : kGreetingTemplate;
    const INT_PTR result =
        DialogBoxParamA(ModuleInstance, MAKEINTRESOURCEA(templateId), nullptr, UpdateDialogProc, 0);
    MessageOwner = nullptr;
    if (result != 0) {
        ShowUpdaterError("アップデートが中断されました");
        return 0;
    }
    return 1;
}
