// A staged file's written bytes are sent to the disk behind its writer, by a third thread, a
// slice at a time: left for its one flush at the end, the whole file waited there for the disk
// while nothing else went on (a fifth of a large file's time). These flushes are only a help:
// the staged file's own flush (update/staged_set.h) still decides, so a failed one is no fault,
// and they change no byte. The thread calls only DirectOps.FlushBehind, never on a handle that
// may have been closed: whoever closes or finishes a staged file waits first. Measured under
// Wine, where the flush and the writes go on side by side; Windows serializes the calls on one
// synchronous handle, so there the writer waits for each flush instead.
#pragma once

#include <windows.h>

#include <stdint.h>

// The unflushed bytes of one file after which the thread is asked to flush it.
const uint64_t kFlushBehindBytes = 16u << 20;

// Notes that size more bytes were written to file; once enough of them are waiting and the
// thread is idle, it is asked to flush them. Never waits.
void FlushBehindWritten(HANDLE file, uint64_t size);
// Returns once no flush asked for is under way.
void FlushBehindWait();
// Ends the thread at the end of a run; the next file written starts another.
void StopFlushBehind();
