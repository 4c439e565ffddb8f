#include "cleanup/file_closer.h"

#include <stdint.h>

#include "base/handle.h"
#include "base/limits.h"
#include "base/ring.h"

#ifdef ZOBRIN_TESTING
bool file_closer_thread_fails = false;
volatile LONG file_closer_thread_closes = 0;
HANDLE file_closer_hold = nullptr;
#endif

// The ring's slots: the main thread fills the slot the ring names while one is free; the
// thread closes the slot it was handed and releases it only afterwards, so no slot is filled
// again while its handle is being closed.
static Ring closer_ring;
static HANDLE closer_slots[ZB_CLOSER_HANDLES];
// Main thread only.
static HandleOwner closer_thread;

// Closes the queued handles in order; ends once the ring has ended with nothing left.
static DWORD WINAPI closer_main(void*) {
  uint32_t slot = 0;
  while (ring_wait_ready(&closer_ring, &slot)) {
#ifdef ZOBRIN_TESTING
    if (file_closer_hold != nullptr) WaitForSingleObject(file_closer_hold, INFINITE);
    InterlockedIncrement(&file_closer_thread_closes);
#endif
    HandleOwner(closer_slots[slot]).reset();
    ring_release(&closer_ring);
  }
  return 0;
}

bool file_closer_start(void) {
  if (closer_thread) return false;
#ifdef ZOBRIN_TESTING
  if (file_closer_thread_fails) return false;
#endif
  // No thread runs: nothing is queued until the first hand-over.
  ring_reset(&closer_ring, ZB_CLOSER_HANDLES, /* wake_batch */ 1);
  closer_thread.reset(CreateThread(/* lpThreadAttributes */ nullptr, ZB_CLOSER_STACK_BYTES,
                                   closer_main, /* lpParameter */ nullptr,
                                   STACK_SIZE_PARAM_IS_A_RESERVATION, /* lpThreadId */ nullptr));
  return (bool)closer_thread;
}

void file_closer_hand(HANDLE file) {
  uint32_t slot = 0;
  if (!closer_thread || !ring_wait_space(&closer_ring, &slot)) {
    HandleOwner(file).reset();
    return;
  }
  closer_slots[slot] = file;
  ring_publish(&closer_ring, /* filled */ true, /* end */ false);
}

void file_closer_finish(void) {
  if (!closer_thread) return;
  ring_publish(&closer_ring, /* filled */ false, /* end */ true);
  // The thread ends only with the ring empty: every handle is closed once it has.
  WaitForSingleObject(closer_thread.get(), INFINITE);
  closer_thread.reset();
}

bool file_closer_wait_closed(DWORD timeout_ms) {
  return ring_wait_drained(&closer_ring, timeout_ms);
}
