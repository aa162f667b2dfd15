#include "update/info_text.h"

#include <stdarg.h>

#include "core/text.h"

void SetInfoText(HWND dialog, const char* format, ...) {
    char text[kTextSize];
    va_list args;
    va_start(args, format);
    wvsprintfA(text, format, args);
    va_end(args);
    SetDlgItemTextA(dialog, kInfoTextId, text);
}
