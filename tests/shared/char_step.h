// The character stepping the text tests run with: the platform's own under Wine, a CP932
// stepper of the tests' own in the native tree.
#pragma once

const char* TestCharStep(const char* p);
