#include "cleanup/gate.h"

#include "base/handle.h"
#include "base/limits.h"
#include "cleanup/file_closer.h"

void cleanup_gate_enter(RunContext* run) {
  AcquireSRWLockExclusive(&run->gate);
  if (InterlockedCompareExchange(&run->gate_stopped, 0, 0) == 0) return;
  ReleaseSRWLockExclusive(&run->gate);
  // Stopped: the handler's thread ends the process (the system's default handling after the
  // handler returns). Nothing is held here, so that exit waits for nothing of this thread.
  for (;;) Sleep(INFINITE);
}

void cleanup_gate_leave(RunContext* run) {
  ReleaseSRWLockExclusive(&run->gate);
}

void cleanup_gate_stop(RunContext* run) {
  InterlockedExchange(&run->gate_stopped, 1);
  AcquireSRWLockExclusive(&run->gate);
  ReleaseSRWLockExclusive(&run->gate);
  HandleOwner::take(&run->file).reset();
  // The files handed to the closer before: the thread stays the main thread's to end, but
  // removal must find them closed. Bounded, as removal retries anyway.
  file_closer_wait_closed(&run->closer, ZB_CLOSER_STOP_WAIT_MS);
}
