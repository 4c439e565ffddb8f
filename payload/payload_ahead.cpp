#include "payload/payload_ahead.h"

#include <stdlib.h>
#include <new>
#include <windows.h>

#include "base/limits.h"
#include "base/ring.h"
#include "base/thread.h"

enum AheadState { AHEAD_RUNNING, AHEAD_FAILED, AHEAD_FRAME_ENDED };

struct PayloadAhead {
  // The thread fills the ring's slots with decoder outputs; the reader holds the slot it was
  // handed until its next call. The state is written before the ring ends.
  Ring ring;
  uint32_t sizes[ZB_AHEAD_CHUNKS];
  AheadState state;
  PayloadDecoder* decoder;
  // The reader's side.
  bool holding;
  unsigned char* buffers;
  Thread thread;
};

static DWORD WINAPI ahead_decode(void* context) {
  PayloadAhead* ahead = static_cast<PayloadAhead*>(context);
  uint32_t slot = 0;
  while (ring_wait_space(&ahead->ring, &slot)) {
    uint32_t produced = 0;
    bool decoded = payload_decode_step(
        ahead->decoder, ahead->buffers + (uint64_t)slot * ZB_DECODE_BUFFER_BYTES, &produced);
    if (decoded) {
      ahead->sizes[slot] = produced;
      // Decision: stop at a frame's end. What follows (the end of the stream, or bytes a
      // reader would decode as another frame) is for the reader to judge alone, as it does
      // without a read-ahead.
      if (ahead->decoder->frame_ended) ahead->state = AHEAD_FRAME_ENDED;
    } else {
      ahead->state = AHEAD_FAILED;
    }
    bool end = ahead->state != AHEAD_RUNNING;
    ring_publish(&ahead->ring, /* filled */ decoded, end);
    if (end) return 0;
  }
  return 0;
}

// Waits for the thread to end, if it runs.
static void ahead_join(PayloadAhead* ahead) {
  thread_join(&ahead->thread, INFINITE);
}

static void ahead_free(PayloadAhead* ahead) {
  free(ahead->buffers);
  ahead->~PayloadAhead();
  free(ahead);
}

PayloadAhead* payload_ahead_start(PayloadDecoder* decoder) {
  if (decoder->input.size == 0) return nullptr;
  void* memory = calloc(1, sizeof(PayloadAhead));
  if (memory == nullptr) return nullptr;
  PayloadAhead* ahead = new (memory) PayloadAhead();
  ahead->buffers = (unsigned char*)malloc((size_t)ZB_AHEAD_CHUNKS * ZB_DECODE_BUFFER_BYTES);
  ring_reset(&ahead->ring, ZB_AHEAD_CHUNKS, ZB_AHEAD_WAKE_BATCH);
  ahead->state = AHEAD_RUNNING;
  ahead->decoder = decoder;
  if (ahead->buffers == nullptr ||
      !thread_start(&ahead->thread, ahead_decode, ahead, /* stack_bytes: default */ 0)) {
    ahead_free(ahead);
    return nullptr;
  }
  return ahead;
}

PayloadChunkResult payload_ahead_next(PayloadAhead* ahead, const unsigned char** data,
                                      uint32_t* size) {
  if (ahead->holding) {
    ahead->holding = false;
    ring_release(&ahead->ring);
  }
  uint32_t slot = 0;
  if (ring_wait_ready(&ahead->ring, &slot)) {
    *data = ahead->buffers + (uint64_t)slot * ZB_DECODE_BUFFER_BYTES;
    *size = ahead->sizes[slot];
    ahead->holding = true;
    return PAYLOAD_CHUNK_READY;
  }
  // The thread has made its last call: the decoder is the reader's again once it has ended.
  ahead_join(ahead);
  return ahead->state == AHEAD_FAILED ? PAYLOAD_CHUNK_FAILED : PAYLOAD_CHUNK_STOPPED;
}

void payload_ahead_stop(PayloadAhead* ahead) {
  if (thread_started(&ahead->thread)) ring_cancel(&ahead->ring);
  ahead_join(ahead);
  ahead_free(ahead);
}
