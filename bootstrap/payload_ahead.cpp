#include "bootstrap/payload_ahead.h"

#include <stdint.h>
#include <stdlib.h>
#include <windows.h>

#include "base/limits.h"
#include "bootstrap/payload_reader.h"

enum AheadState { AHEAD_RUNNING, AHEAD_FAILED, AHEAD_FRAME_ENDED };

// Under the lock: the counts of outputs decoded and handed back, their sizes, the state and
// the request to stop. The decoder thread writes the slot `produced` names while fewer than
// ZB_AHEAD_CHUNKS are outstanding; the reader holds the slot `consumed` names.
static SRWLOCK ahead_lock = SRWLOCK_INIT;
static CONDITION_VARIABLE ahead_space = CONDITION_VARIABLE_INIT;
static CONDITION_VARIABLE ahead_ready = CONDITION_VARIABLE_INIT;
static uint32_t ahead_produced = 0;
static uint32_t ahead_consumed = 0;
static uint32_t ahead_sizes[ZB_AHEAD_CHUNKS];
static AheadState ahead_state = AHEAD_RUNNING;
static bool ahead_cancel = false;
// Whether each side sleeps. Decision: a sleeping side is woken once ZB_AHEAD_WAKE_BATCH
// outputs are ready or free, not for each one. Woken for every output, the quicker side (the
// walk, on one big file) slept and woke once per 128 KiB; under Wine, taking the 256 MiB of
// one file without writing them then cost 320 to 510 ms where decoding alone takes 280 to
// 320 ms; woken in batches, 300 to 360 ms.
static bool ahead_decoder_sleeps = false;
static bool ahead_reader_sleeps = false;
// Main thread only.
static bool ahead_holding = false;
static unsigned char* ahead_ring = nullptr;
static HANDLE ahead_thread = nullptr;

static DWORD WINAPI ahead_decode(void*) {
  for (;;) {
    AcquireSRWLockExclusive(&ahead_lock);
    while (ahead_produced - ahead_consumed == ZB_AHEAD_CHUNKS && !ahead_cancel) {
      ahead_decoder_sleeps = true;
      SleepConditionVariableSRW(&ahead_space, &ahead_lock, INFINITE, /* Flags */ 0);
    }
    ahead_decoder_sleeps = false;
    bool cancel = ahead_cancel;
    uint32_t slot = ahead_produced % ZB_AHEAD_CHUNKS;
    ReleaseSRWLockExclusive(&ahead_lock);
    if (cancel) return 0;

    uint32_t produced = 0;
    bool decoded = payload_decode_step(ahead_ring + (uint64_t)slot * ZB_DECODE_BUFFER_BYTES,
                                       &produced);
    AcquireSRWLockExclusive(&ahead_lock);
    if (decoded) {
      ahead_sizes[slot] = produced;
      ahead_produced++;
      // Decision: stop at a frame's end. What follows (the end of the stream, or bytes a
      // reader would decode as another frame) is for the reader to judge alone, as it does
      // without a read-ahead.
      if (payload_frame_ended()) ahead_state = AHEAD_FRAME_ENDED;
    } else {
      ahead_state = AHEAD_FAILED;
    }
    AheadState state = ahead_state;
    if (ahead_reader_sleeps &&
        (state != AHEAD_RUNNING || ahead_produced - ahead_consumed >= ZB_AHEAD_WAKE_BATCH)) {
      WakeConditionVariable(&ahead_ready);
    }
    ReleaseSRWLockExclusive(&ahead_lock);
    if (state != AHEAD_RUNNING) return 0;
  }
}

// Waits for the thread to end, then frees the ring.
static void ahead_join(void) {
  WaitForSingleObject(ahead_thread, INFINITE);
  CloseHandle(ahead_thread);
  ahead_thread = nullptr;
  free(ahead_ring);
  ahead_ring = nullptr;
  ahead_holding = false;
}

// The reader's chunk source: hands back the slot held so far, then waits for the next one.
static PayloadChunkResult ahead_next(const unsigned char** data, uint32_t* size) {
  AcquireSRWLockExclusive(&ahead_lock);
  if (ahead_holding) {
    ahead_holding = false;
    ahead_consumed++;
    if (ahead_decoder_sleeps &&
        ZB_AHEAD_CHUNKS - (ahead_produced - ahead_consumed) >= ZB_AHEAD_WAKE_BATCH) {
      WakeConditionVariable(&ahead_space);
    }
  }
  while (ahead_produced == ahead_consumed && ahead_state == AHEAD_RUNNING) {
    ahead_reader_sleeps = true;
    SleepConditionVariableSRW(&ahead_ready, &ahead_lock, INFINITE, /* Flags */ 0);
  }
  ahead_reader_sleeps = false;
  if (ahead_produced != ahead_consumed) {
    uint32_t slot = ahead_consumed % ZB_AHEAD_CHUNKS;
    *data = ahead_ring + (uint64_t)slot * ZB_DECODE_BUFFER_BYTES;
    *size = ahead_sizes[slot];
    ahead_holding = true;
    ReleaseSRWLockExclusive(&ahead_lock);
    return PAYLOAD_CHUNK_READY;
  }
  AheadState state = ahead_state;
  ReleaseSRWLockExclusive(&ahead_lock);
  // The thread has made its last call: the decoder and the reader's state are the main
  // thread's again once it has ended.
  ahead_join();
  return state == AHEAD_FAILED ? PAYLOAD_CHUNK_FAILED : PAYLOAD_CHUNK_STOPPED;
}

bool payload_ahead_start(void) {
  if (payload_stream_empty() || ahead_thread != nullptr) return false;
  ahead_ring = (unsigned char*)malloc((size_t)ZB_AHEAD_CHUNKS * ZB_DECODE_BUFFER_BYTES);
  if (ahead_ring == nullptr) return false;
  ahead_produced = 0;
  ahead_consumed = 0;
  ahead_state = AHEAD_RUNNING;
  ahead_cancel = false;
  ahead_decoder_sleeps = false;
  ahead_reader_sleeps = false;
  ahead_holding = false;
  ahead_thread = CreateThread(/* lpThreadAttributes */ nullptr, /* dwStackSize */ 0,
                              ahead_decode, /* lpParameter */ nullptr,
                              /* dwCreationFlags */ 0, /* lpThreadId */ nullptr);
  if (ahead_thread == nullptr) {
    free(ahead_ring);
    ahead_ring = nullptr;
    return false;
  }
  payload_set_chunk_source(ahead_next);
  return true;
}

void payload_ahead_stop(void) {
  if (ahead_thread == nullptr) return;
  AcquireSRWLockExclusive(&ahead_lock);
  ahead_cancel = true;
  WakeConditionVariable(&ahead_space);
  ReleaseSRWLockExclusive(&ahead_lock);
  ahead_join();
  payload_set_chunk_source(nullptr);
}
