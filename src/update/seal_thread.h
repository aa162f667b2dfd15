// The seal of a staged file (the SHA-256 of the bytes written) is hashed on a second thread while
// the run's thread writes the same bytes, so that a file's check costs no time of its own when
// writing is the slower of the two. The second thread only hashes and waits on its lock: it
// makes no file, window or table call, so the order of the run's file and window calls, and the
// faults a test injects into them, stay those of one thread. Without the thread (it could not be
// started) the bytes are hashed on the caller's thread, with the same digest.
#pragma once

#include <stddef.h>

#include "archive/delta_apply.h"
#include "archive/sha256.h"

// Hashes size bytes at data into c, and into check unless it is null, beside the caller, or now
// when there is no second thread. The bytes and the states must stay as they are until
// SealHashWait.
void SealHashBegin(Sha256Context* c, DeltaCheckState* check, const uint8_t* data, size_t size);
// Returns once the bytes given last are in their context.
void SealHashWait();
// Ends the thread at the end of a run; the next SealHashBegin starts another.
void StopSealThread();
