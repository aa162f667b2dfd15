#include "update/info_text.h"

#include <stdarg.h>
#include <stdint.h>

#include "core/text.h"

void SetInfoText(HWND dialog, const char* format, ...) {
    char text[kTextSize];
    va_list args;
    va_start(args, format);
    wvsprintfA(text, format, args);
    va_end(args);
    SetDlgItemTextA(dialog, kInfoTextId, text);
}

void SetInfoTextWithoutArguments(HWND dialog, const char* format) {
    // The formatter walks one slot of this list for each conversion it meets: every slot is
    // zero, so a conversion shows as an empty or zero value and never reads past the list.
    static const uintptr_t kZeroes[kTextSize] = {};
    char text[kTextSize];
    wvsprintfA(text, format, (va_list)(uintptr_t)kZeroes);
    SetDlgItemTextA(dialog, kInfoTextId, text);
}
