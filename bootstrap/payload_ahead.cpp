#include "bootstrap/payload_ahead.h"

#include <stdint.h>
#include <stdlib.h>
#include <windows.h>

#include "base/handle.h"
#include "base/limits.h"
#include "base/ring.h"
#include "bootstrap/payload_reader.h"

enum AheadState { AHEAD_RUNNING, AHEAD_FAILED, AHEAD_FRAME_ENDED };

// The decoder thread fills the ring's slots with decoder outputs; the reader holds the slot
// it was handed until its next call. The state is written before the ring ends.
static Ring ahead_ring;
static uint32_t ahead_sizes[ZB_AHEAD_CHUNKS];
static AheadState ahead_state = AHEAD_RUNNING;
// Main thread only.
static bool ahead_holding = false;
static unsigned char* ahead_buffers = nullptr;
static HandleOwner ahead_thread;

static DWORD WINAPI ahead_decode(void*) {
  uint32_t slot = 0;
  while (ring_wait_space(&ahead_ring, &slot)) {
    uint32_t produced = 0;
    bool decoded = payload_decode_step(ahead_buffers + (uint64_t)slot * ZB_DECODE_BUFFER_BYTES,
                                       &produced);
    if (decoded) {
      ahead_sizes[slot] = produced;
      // Decision: stop at a frame's end. What follows (the end of the stream, or bytes a
      // reader would decode as another frame) is for the reader to judge alone, as it does
      // without a read-ahead.
      if (payload_frame_ended()) ahead_state = AHEAD_FRAME_ENDED;
    } else {
      ahead_state = AHEAD_FAILED;
    }
    bool end = ahead_state != AHEAD_RUNNING;
    ring_publish(&ahead_ring, /* filled */ decoded, end);
    if (end) return 0;
  }
  return 0;
}

// Waits for the thread to end, then frees the ring.
static void ahead_join(void) {
  WaitForSingleObject(ahead_thread.get(), INFINITE);
  ahead_thread.reset();
  free(ahead_buffers);
  ahead_buffers = nullptr;
  ahead_holding = false;
}

// The reader's chunk source: hands back the slot held so far, then waits for the next one.
static PayloadChunkResult ahead_next(const unsigned char** data, uint32_t* size) {
  if (ahead_holding) {
    ahead_holding = false;
    ring_release(&ahead_ring);
  }
  uint32_t slot = 0;
  if (ring_wait_ready(&ahead_ring, &slot)) {
    *data = ahead_buffers + (uint64_t)slot * ZB_DECODE_BUFFER_BYTES;
    *size = ahead_sizes[slot];
    ahead_holding = true;
    return PAYLOAD_CHUNK_READY;
  }
  // The thread has made its last call: the decoder and the reader's state are the main
  // thread's again once it has ended.
  AheadState state = ahead_state;
  ahead_join();
  return state == AHEAD_FAILED ? PAYLOAD_CHUNK_FAILED : PAYLOAD_CHUNK_STOPPED;
}

bool payload_ahead_start(void) {
  if (payload_stream_empty() || ahead_thread) return false;
  ahead_buffers = (unsigned char*)malloc((size_t)ZB_AHEAD_CHUNKS * ZB_DECODE_BUFFER_BYTES);
  if (ahead_buffers == nullptr) return false;
  ring_reset(&ahead_ring, ZB_AHEAD_CHUNKS, ZB_AHEAD_WAKE_BATCH);
  ahead_state = AHEAD_RUNNING;
  ahead_holding = false;
  ahead_thread.reset(CreateThread(/* lpThreadAttributes */ nullptr, /* dwStackSize */ 0,
                                  ahead_decode, /* lpParameter */ nullptr,
                                  /* dwCreationFlags */ 0, /* lpThreadId */ nullptr));
  if (!ahead_thread) {
    free(ahead_buffers);
    ahead_buffers = nullptr;
    return false;
  }
  payload_set_chunk_source(ahead_next);
  return true;
}

void payload_ahead_stop(void) {
  if (!ahead_thread) return;
  ring_cancel(&ahead_ring);
  ahead_join();
  payload_set_chunk_source(nullptr);
}
