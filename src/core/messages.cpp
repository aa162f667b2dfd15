#include "core/messages.h"

#include "core/platform_ops.h"

char UpdaterCaption[kMessageSize] = "UPDATE";
HWND MessageOwner = nullptr;

void ShowUpdaterError(const char* text) {
    DirectOps.MessageBoxA(MessageOwner, text, UpdaterCaption, MB_OK | MB_ICONERROR);
}

void ShowSetupError(const char* text) {
    DirectOps.MessageBoxA(MessageOwner, text, "INSTCMMN", MB_OK | MB_ICONERROR);
}
