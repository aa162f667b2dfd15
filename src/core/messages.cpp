#include "core/messages.h"

#include "core/platform_ops.h"

char UpdaterCaption[kMessageSize] = "UPDATE";
HWND MessageOwner = nullptr;
unsigned ErrorBoxCount = 0;

void ShowUpdaterError(const char* text) {
    ++ErrorBoxCount;
    DirectOps.MessageBoxA(MessageOwner, text, UpdaterCaption, MB_OK | MB_ICONERROR);
}

void ShowSetupError(const char* text) {
    ++ErrorBoxCount;
    DirectOps.MessageBoxA(MessageOwner, text, "INSTCMMN", MB_OK | MB_ICONERROR);
}
