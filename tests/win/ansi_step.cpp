#include "core/platform_text.h"
#include "shared/char_step.h"

const char* TestCharStep(const char* p) {
    return StepAnsiChar(p);
}
