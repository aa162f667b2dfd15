#include "update/disc_copy.h"

#include <string.h>

#include "core/messages.h"
#include "core/platform_ops.h"
#include "core/platform_text.h"
#include "core/startup.h"
#include "settings/install_settings.h"
#include "update/info_text.h"
#include "update/update_run.h"

char DiscRoot[3] = "";

namespace {

// The first CD-ROM drive, from A to Z, that holds the disc's check file.
int FindDisc(int disc) {
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        char root[3] = {letter, ':', 0};
        char rootPath[4] = {letter, ':', '\\', 0};
        if (GetDriveTypeA(rootPath) != DRIVE_CDROM)
            continue;
        char probe[kPathSize];
        strcpy(probe, root);
        if (!JoinPath(probe, InstallSettings.DiskCheckFile[disc]))
            continue;
        if (PlatformOps.GetFileAttributesA(probe) != INVALID_FILE_ATTRIBUTES) {
            memcpy(DiscRoot, root, sizeof DiscRoot);
            return 1;
        }
    }
    return 0;
}

// Searches until the disc is found or the user gives up at the prompt.
int WaitForDisc(HWND dialog, int disc) {
    while (!FindDisc(disc)) {
        char text[kMessageSize];
        wsprintfA(text, "ＣＤ－ＲＯＭドライブに「%s」ディスク %i を入れて下さい",
                  GameIdentity.GameTitle, disc);
        if (DirectOps.MessageBoxA(dialog, text, UpdaterCaption, MB_OKCANCEL) != IDOK)
            return 0;
    }
    return 1;
}

int CopyFailed(HWND dialog, const char* path) {
    char text[kMessageSize];
    wsprintfA(text, "SETUP.INI : \"%s\" のコピーに失敗しました", path);
    ShowUpdaterError(text);
    AbortDialog(dialog);
    return 0;
}

} // namespace

int CheckCopyPaths() {
    for (int i = 0; i < CopyList.count; ++i) {
        const char* path = CopyList.items[i].path;
        char source[kPathSize] = "A:";
        char destination[kPathSize];
        strcpy(destination, InstallRecord.InstPath);
        if (!JoinPath(source, path)) {
            ShowPathTooLong("A:", path);
            return 0;
        }
        if (!JoinPath(destination, path)) {
            ShowPathTooLong(InstallRecord.InstPath, path);
            return 0;
        }
    }
    return 1;
}

int CopyDiscFiles(HWND dialog) {
    for (int i = 0; i < CopyList.count; ++i) {
        const CopyItem& item = CopyList.items[i];
        // An item without a disc number copies from the disc found last; before any disc was
        // found it looks for disc 0, rather than read from wherever an empty root leads.
        if ((item.disc != 0 || !DiscRoot[0]) && !WaitForDisc(dialog, item.disc)) {
            AbortDialog(dialog);
            return 0;
        }
        // One byte more than a path: a folder destination is the install path itself, and a
        // second NUL must follow it.
        char source[kPathSize], destination[kPathSize + 1];
        strcpy(source, DiscRoot);
        JoinPath(source, item.path);
        strcpy(destination, InstallRecord.InstPath);
        const DWORD attributes = PlatformOps.GetFileAttributesA(source);
        // A failed query counts as a folder too: a missing source, or a pattern the shell
        // expands itself.
        const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (!folder)
            JoinPath(destination, item.path);
        else
            destination[strlen(destination) + 1] = 0; // a one-entry list: a second NUL
        SetInfoText(dialog, "%s をコピーしています", item.path);

        SHFILEOPSTRUCTA op = {};
        op.hwnd = dialog;
        op.wFunc = FO_COPY;
        op.pFrom = source;
        op.pTo = destination;
        op.fFlags = FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR | (folder ? FOF_NOERRORUI : 0);
        const int result = PlatformOps.SHFileOperationA(&op);
        if (op.fAnyOperationsAborted) {
            AbortDialog(dialog);
            return 0;
        }
        if (result != 0)
            return CopyFailed(dialog, item.path);
        PlatformOps.SetFileAttributesA(destination, FILE_ATTRIBUTE_NORMAL);
    }
    return 1;
}
