// The dialog's information text (control 1001), formatted with the platform's ANSI formatter.
#pragma once

#include <windows.h>

const int kInfoTextId = 1001;

// Formats into 1024 bytes, so at most 1023 bytes show, and makes it the information text.
void SetInfoText(HWND dialog, const char* format, ...);

// The same for a format the publisher wrote, which has no arguments: a conversion in it reads
// a zero (a string conversion shows the formatter's text for none).
void SetInfoTextWithoutArguments(HWND dialog, const char* format);
