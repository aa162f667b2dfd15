#include "core/io_count.h"

#include "archive/sha256.h"
#include "core/platform_ops.h"
#include "core/text.h"

namespace {

decltype(&::ReadFile) PlainRead;
decltype(&::WriteFile) PlainWrite;
uint64_t Read, Written;

BOOL WINAPI CountedRead(HANDLE h, LPVOID to, DWORD size, LPDWORD got, LPOVERLAPPED at) {
    const BOOL ok = PlainRead(h, to, size, got, at);
    if (ok && got)
        Read += *got;
    return ok;
}

BOOL WINAPI CountedWrite(HANDLE h, LPCVOID data, DWORD size, LPDWORD put, LPOVERLAPPED at) {
    const BOOL ok = PlainWrite(h, data, size, put, at);
    if (ok && put)
        Written += *put;
    return ok;
}

// A 64-bit number in decimal: the platform's formatter takes 32-bit ones only everywhere.
char* Decimal(uint64_t n, char* end) {
    *--end = '\0';
    do
        *--end = (char)('0' + n % 10);
    while (n /= 10);
    return end;
}

} // namespace

IoCountData IoCountNow() {
    return IoCountData{Read, Written, Sha256BytesHashed(), DirectOps.GetTickCount64()};
}

void CountIo() {
    PlainRead = PlatformOps.ReadFile;
    PlainWrite = PlatformOps.WriteFile;
    PlatformOps.ReadFile = CountedRead;
    PlatformOps.WriteFile = CountedWrite;
}

void ReportIo(const char* what, const IoCountData& since, uint64_t resultBytes) {
    const IoCountData now = IoCountNow();
    char r[24], w[24], h[24], n[24], t[24];
    char text[kPathSize + 160];
    // what is a path of the run or a word: never longer than a path.
    wsprintfA(text, "I/O %s: read %s, written %s, hashed %s for %s bytes of result in %s ms\n",
              what, Decimal(now.read - since.read, r + sizeof r),
              Decimal(now.written - since.written, w + sizeof w),
              Decimal(now.hashed - since.hashed, h + sizeof h), Decimal(resultBytes, n + sizeof n),
              Decimal(now.milliseconds - since.milliseconds, t + sizeof t));
    DirectOps.OutputDebugStringA(text);
}
