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
HANDLE Given = nullptr;  // set by the run's thread when a job is waiting
HANDLE Hashed = nullptr; // set by the second thread when it is done
SealJob Job;
bool Pending = false;
// A thread that could not be started is not tried again before the run ends.
bool Unavailable = false;

void Hash(const SealJob& job) {
    Sha256Update(job.context, job.data, job.size);
    if (job.check)
        DeltaCheckUpdate(job.check, job.data, job.size);
}

DWORD WINAPI HashJobs(LPVOID) {
    for (;;) {
        WaitForSingleObject(Given, INFINITE);
        // The events order these accesses: the job was written before Given was set, and is read
        // again only after Hashed is.
        if (!Job.context)
            return 0;
        Hash(Job);
        SetEvent(Hashed);
    }
}

void CloseEvents() {
    if (Given)
        CloseHandle(Given);
    if (Hashed)
        CloseHandle(Hashed);
    Given = Hashed = nullptr;
}

int StartThread() {
    Given = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    Hashed = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (Given && Hashed)
        Thread = DirectOps.CreateThread(nullptr, 0, HashJobs, nullptr, 0, nullptr);
    if (!Thread)
        CloseEvents();
    return Thread != nullptr;
}

} // namespace

void SealHashBegin(Sha256Context* c, DeltaCheckState* check, const uint8_t* data, size_t size) {
    const SealJob job = {c, check, data, size};
    if (!Thread && (Unavailable || !StartThread())) {
        Unavailable = true;
        Hash(job);
        return;
    }
    Job = job;
    Pending = true;
    SetEvent(Given);
}

void SealHashWait() {
    if (!Pending)
        return;
    WaitForSingleObject(Hashed, INFINITE);
    Pending = false;
}

void StopSealThread() {
    if (Thread) {
        SealHashWait();
        Job = SealJob{nullptr, nullptr, nullptr, 0};
        SetEvent(Given);
        WaitForSingleObject(Thread, INFINITE);
        CloseHandle(Thread);
        Thread = nullptr;
        CloseEvents();
    }
    Unavailable = false;
}
