#include "cleanup/gate.h"

#include "base/handle.h"
#include "base/limits.h"
#include "base/run_state.h"
#include "cleanup/file_closer.h"

static SRWLOCK cleanup_gate = SRWLOCK_INIT;
static volatile LONG cleanup_gate_stopped = 0;

void cleanup_gate_enter(void) {
  AcquireSRWLockExclusive(&cleanup_gate);
  if (InterlockedCompareExchange(&cleanup_gate_stopped, 0, 0) == 0) return;
  ReleaseSRWLockExclusive(&cleanup_gate);
  // Stopped: the handler's thread ends the process (the system's default handling after the
  // handler returns). Nothing is held here, so that exit waits for nothing of this thread.
  for (;;) Sleep(INFINITE);
}

void cleanup_gate_leave(void) {
  ReleaseSRWLockExclusive(&cleanup_gate);
}

void cleanup_gate_stop(void) {
  InterlockedExchange(&cleanup_gate_stopped, 1);
  AcquireSRWLockExclusive(&cleanup_gate);
  ReleaseSRWLockExclusive(&cleanup_gate);
  HandleOwner::take(&run_state.file).reset();
  // The files handed to the closer before: the thread stays the main thread's to end, but
  // removal must find them closed. Bounded, as removal retries anyway.
  file_closer_wait_closed(ZB_CLOSER_STOP_WAIT_MS);
}

#ifdef ZOBRIN_TESTING
void cleanup_gate_reopen(void) {
  InterlockedExchange(&cleanup_gate_stopped, 0);
}
#endif
