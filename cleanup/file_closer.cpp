#include "cleanup/file_closer.h"

#include <stdint.h>

// Closes the queued handles in order; ends once the ring has ended with nothing left.
static DWORD WINAPI closer_main(void* context) {
  FileCloser* closer = static_cast<FileCloser*>(context);
  uint32_t slot = 0;
  while (ring_wait_ready(&closer->ring, &slot)) {
    if (closer->hold != nullptr) WaitForSingleObject(closer->hold, INFINITE);
    InterlockedIncrement(&closer->thread_closes);
    HandleOwner(closer->slots[slot]).reset();
    ring_release(&closer->ring);
  }
  return 0;
}

bool file_closer_start(FileCloser* closer) {
  if (closer->thread) return false;
  // No thread runs: nothing is queued until the first hand-over.
  ring_reset(&closer->ring, ZB_CLOSER_HANDLES, /* wake_batch */ 1);
  closer->thread.reset(CreateThread(/* lpThreadAttributes */ nullptr, ZB_CLOSER_STACK_BYTES,
                                    closer_main, /* lpParameter */ closer,
                                    STACK_SIZE_PARAM_IS_A_RESERVATION, /* lpThreadId */ nullptr));
  return (bool)closer->thread;
}

void file_closer_hand(FileCloser* closer, HANDLE file) {
  uint32_t slot = 0;
  if (!closer->thread || !ring_wait_space(&closer->ring, &slot)) {
    HandleOwner(file).reset();
    return;
  }
  closer->slots[slot] = file;
  ring_publish(&closer->ring, /* filled */ true, /* end */ false);
}

void file_closer_finish(FileCloser* closer) {
  if (!closer->thread) return;
  ring_publish(&closer->ring, /* filled */ false, /* end */ true);
  // The thread ends only with the ring empty: every handle is closed once it has.
  WaitForSingleObject(closer->thread.get(), INFINITE);
  closer->thread.reset();
}

bool file_closer_wait_closed(FileCloser* closer, DWORD timeout_ms) {
  return ring_wait_drained(&closer->ring, timeout_ms);
}
