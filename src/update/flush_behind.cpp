#include "update/flush_behind.h"

#include "core/platform_ops.h"

namespace {

HANDLE Thread = nullptr;
// Under Lock: the file given to the thread, null when it is idle; Ending tells it to return.
SRWLOCK Lock = SRWLOCK_INIT;
CONDITION_VARIABLE Changed = CONDITION_VARIABLE_INIT;
HANDLE Given = nullptr;
bool Ending = false;
// A thread that could not be started is not tried again before the run ends.
bool Unavailable = false;
// The writer's side: the file written last and its bytes written since its last flush.
HANDLE Written = nullptr;
uint64_t Unflushed = 0;

DWORD WINAPI FlushGiven(LPVOID) {
    AcquireSRWLockExclusive(&Lock);
    for (;;) {
        while (!Given && !Ending)
            SleepConditionVariableSRW(&Changed, &Lock, INFINITE, 0);
        if (!Given)
            break;
        const HANDLE file = Given;
        ReleaseSRWLockExclusive(&Lock);
        DirectOps.FlushBehind(file);
        AcquireSRWLockExclusive(&Lock);
        Given = nullptr;
        WakeAllConditionVariable(&Changed);
    }
    ReleaseSRWLockExclusive(&Lock);
    return 0;
}

} // namespace

void FlushBehindWritten(HANDLE file, uint64_t size) {
    if (file != Written) {
        Written = file;
        Unflushed = 0;
    }
    Unflushed += size;
    if (Unflushed < kFlushBehindBytes || Unavailable)
        return;
    if (!Thread) {
        Thread = DirectOps.CreateThread(nullptr, 0, FlushGiven, nullptr, 0, nullptr);
        Unavailable = !Thread;
        if (!Thread)
            return;
    }
    AcquireSRWLockExclusive(&Lock);
    // A thread still at its last flush takes these bytes with its next one.
    const bool idle = !Given;
    if (idle) {
        Given = file;
        Unflushed = 0;
    }
    ReleaseSRWLockExclusive(&Lock);
    if (idle)
        WakeAllConditionVariable(&Changed);
}

void FlushBehindWait() {
    if (Thread) {
        AcquireSRWLockExclusive(&Lock);
        while (Given)
            SleepConditionVariableSRW(&Changed, &Lock, INFINITE, 0);
        ReleaseSRWLockExclusive(&Lock);
    }
    // A handle closed now may come back as another file's.
    Written = nullptr;
    Unflushed = 0;
}

void StopFlushBehind() {
    FlushBehindWait();
    if (Thread) {
        AcquireSRWLockExclusive(&Lock);
        Ending = true;
        ReleaseSRWLockExclusive(&Lock);
        WakeAllConditionVariable(&Changed);
        WaitForSingleObject(Thread, INFINITE);
        CloseHandle(Thread);
        Thread = nullptr;
        Ending = false;
    }
    Unavailable = false;
}
