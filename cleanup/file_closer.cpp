#include "cleanup/file_closer.h"

#include <stdint.h>

#include "base/limits.h"

#ifdef ZOBRIN_TESTING
bool file_closer_thread_fails = false;
volatile LONG file_closer_thread_closes = 0;
HANDLE file_closer_hold = nullptr;
#endif

// Under the lock: the ring, the counts of handles handed over and closed, and the request to
// stop. The main thread fills the slot `handed` names while fewer than ZB_CLOSER_HANDLES are
// queued; the thread closes the slot `closed` names and counts it only afterwards, so no slot
// is filled again while its handle is being closed.
static SRWLOCK closer_lock = SRWLOCK_INIT;
static CONDITION_VARIABLE closer_queued = CONDITION_VARIABLE_INIT;
static CONDITION_VARIABLE closer_done = CONDITION_VARIABLE_INIT;
static HANDLE closer_ring[ZB_CLOSER_HANDLES];
static uint32_t closer_handed = 0;
static uint32_t closer_closed = 0;
static bool closer_stop = false;
// Main thread only.
static HANDLE closer_thread = nullptr;

// Closes the queued handles in order; ends once stopped with nothing left.
static DWORD WINAPI closer_main(void*) {
  AcquireSRWLockExclusive(&closer_lock);
  for (;;) {
    while (closer_handed == closer_closed && !closer_stop) {
      SleepConditionVariableSRW(&closer_queued, &closer_lock, INFINITE, /* Flags */ 0);
    }
    if (closer_handed == closer_closed) break;
    HANDLE file = closer_ring[closer_closed % ZB_CLOSER_HANDLES];
    ReleaseSRWLockExclusive(&closer_lock);
#ifdef ZOBRIN_TESTING
    if (file_closer_hold != nullptr) WaitForSingleObject(file_closer_hold, INFINITE);
    InterlockedIncrement(&file_closer_thread_closes);
#endif
    CloseHandle(file);
    AcquireSRWLockExclusive(&closer_lock);
    closer_closed++;
    // Both the walk waiting for room and a wait for everything to be closed.
    WakeAllConditionVariable(&closer_done);
  }
  ReleaseSRWLockExclusive(&closer_lock);
  return 0;
}

bool file_closer_start(void) {
  if (closer_thread != nullptr) return false;
#ifdef ZOBRIN_TESTING
  if (file_closer_thread_fails) return false;
#endif
  // No thread runs: the counts are equal and stay so until the first hand-over.
  closer_stop = false;
  closer_thread = CreateThread(/* lpThreadAttributes */ nullptr, ZB_CLOSER_STACK_BYTES,
                               closer_main, /* lpParameter */ nullptr,
                               STACK_SIZE_PARAM_IS_A_RESERVATION, /* lpThreadId */ nullptr);
  return closer_thread != nullptr;
}

void file_closer_hand(HANDLE file) {
  if (closer_thread == nullptr) {
    CloseHandle(file);
    return;
  }
  AcquireSRWLockExclusive(&closer_lock);
  while (closer_handed - closer_closed == ZB_CLOSER_HANDLES) {
    SleepConditionVariableSRW(&closer_done, &closer_lock, INFINITE, /* Flags */ 0);
  }
  closer_ring[closer_handed % ZB_CLOSER_HANDLES] = file;
  closer_handed++;
  WakeConditionVariable(&closer_queued);
  ReleaseSRWLockExclusive(&closer_lock);
}

void file_closer_finish(void) {
  if (closer_thread == nullptr) return;
  AcquireSRWLockExclusive(&closer_lock);
  closer_stop = true;
  WakeConditionVariable(&closer_queued);
  ReleaseSRWLockExclusive(&closer_lock);
  // The thread ends only with the ring empty: every handle is closed once it has.
  WaitForSingleObject(closer_thread, INFINITE);
  CloseHandle(closer_thread);
  closer_thread = nullptr;
}

bool file_closer_wait_closed(DWORD timeout_ms) {
  ULONGLONG deadline = GetTickCount64() + timeout_ms;
  AcquireSRWLockExclusive(&closer_lock);
  bool closed = closer_handed == closer_closed;
  for (ULONGLONG now = GetTickCount64(); !closed && now < deadline; now = GetTickCount64()) {
    SleepConditionVariableSRW(&closer_done, &closer_lock, (DWORD)(deadline - now),
                              /* Flags */ 0);
    closed = closer_handed == closer_closed;
  }
  ReleaseSRWLockExclusive(&closer_lock);
  return closed;
}
