#include "update/seal_thread.h"

#include <windows.h>

#include "core/platform_ops.h"

namespace {

struct SealJob {
    Sha256Context* context; // null: the thread ends
    DeltaCheckState* check;
    const uint8_t* data;
    size_t size;
};

HANDLE Thread = nullptr;
// A job is handed over and its end awaited under Lock. Events would be kernel objects: under Wine
// each set and each wait is a round trip to its server, a quarter of a millisecond on a busy
// machine, twice per window written. These wait inside the process.
SRWLOCK Lock = SRWLOCK_INIT;
CONDITION_VARIABLE Changed = CONDITION_VARIABLE_INIT;
SealJob Job;
bool Given = false;   // a job is waiting for the second thread
bool Pending = false; // the run's thread has not yet seen the last job's end
// A thread that could not be started is not tried again before the run ends.
bool Unavailable = false;

void Hash(const SealJob& job) {
    Sha256Update(job.context, job.data, job.size);
    if (job.check)
        DeltaCheckUpdate(job.check, job.data, job.size);
}

DWORD WINAPI HashJobs(LPVOID) {
    for (;;) {
        AcquireSRWLockExclusive(&Lock);
        while (!Given)
            SleepConditionVariableSRW(&Changed, &Lock, INFINITE, 0);
        const SealJob job = Job;
        ReleaseSRWLockExclusive(&Lock);
        if (!job.context)
            return 0;
        Hash(job);
        AcquireSRWLockExclusive(&Lock);
        Given = false;
        ReleaseSRWLockExclusive(&Lock);
        WakeAllConditionVariable(&Changed);
    }
}

void Give(const SealJob& job) {
    AcquireSRWLockExclusive(&Lock);
    Job = job;
    Given = true;
    ReleaseSRWLockExclusive(&Lock);
    WakeAllConditionVariable(&Changed);
}

} // namespace

void SealHashBegin(Sha256Context* c, DeltaCheckState* check, const uint8_t* data, size_t size) {
    const SealJob job = {c, check, data, size};
    if (!Thread && !Unavailable)
        Thread = DirectOps.CreateThread(nullptr, 0, HashJobs, nullptr, 0, nullptr);
    if (!Thread) {
        Unavailable = true;
        Hash(job);
        return;
    }
    Pending = true;
    Give(job);
}

void SealHashWait() {
    if (!Pending)
        return;
    AcquireSRWLockExclusive(&Lock);
    while (Given)
        SleepConditionVariableSRW(&Changed, &Lock, INFINITE, 0);
    ReleaseSRWLockExclusive(&Lock);
    Pending = false;
}

void StopSealThread() {
    if (Thread) {
        SealHashWait();
        Give(SealJob{nullptr, nullptr, nullptr, 0});
        WaitForSingleObject(Thread, INFINITE);
        CloseHandle(Thread);
        Thread = nullptr;
        Given = false;
    }
    Unavailable = false;
}
