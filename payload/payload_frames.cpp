#include "payload/payload_frames.h"

#include <stdlib.h>
#include <new>
#include <windows.h>

#include "base/limits.h"
#include "base/thread_pool.h"
#include "format/payload_format.h"

enum FrameState { FRAME_EMPTY, FRAME_DECODING, FRAME_DONE, FRAME_FAILED, FRAME_STOP };

// A frame in flight. Its worker owns the buffer while it decodes; the state is read and
// written under the lock.
struct FrameSlot {
  FrameState state;
  uint64_t offset;  // the frame's first byte within the stream
  uint64_t size;    // its decoded size, as its header records it
  // Decision: a slot keeps its buffer from frame to frame (grown when a frame is larger), so
  // its pages are touched once and not faulted in again for every frame.
  unsigned char* buffer;
  uint64_t capacity;
};

struct FrameWorker {
  PayloadFrames* frames;
  PayloadFrameDecoder decoder;
};

struct PayloadFrames {
  SRWLOCK lock;
  CONDITION_VARIABLE changed;  // a frame was claimed, ended or taken whole, or all stop
  PayloadDecoder* decoder;
  const unsigned char* stream;
  uint64_t stream_size;
  // The next frame to claim and its first byte; claims end at the first frame the workers do
  // not take, or after one that failed.
  uint64_t next_index;
  uint64_t next_offset;
  bool claims_ended;
  bool cancelled;
  // The reader's side: the frame it takes from (frame k sits in slot k % in_flight), how much
  // of it it has taken, and how many frames it has taken whole.
  uint64_t reading;
  uint64_t read;
  uint64_t handed;
  uint32_t in_flight;
  FrameSlot slots[ZB_FRAME_WORKERS_MAX + 1];
  uint32_t worker_count;
  FrameWorker workers[ZB_FRAME_WORKERS_MAX];
  ThreadPool pool;
};

// Decodes the `compressed` bytes at `source` whole into the slot's buffer (grown to the
// frame's size first). True when every block decoded, the checksum matched and exactly the
// recorded size came out; false also when the buffer cannot be had.
static bool frames_decode(FrameWorker* worker, FrameSlot* slot, const unsigned char* source,
                          uint64_t compressed) {
  if (slot->capacity < slot->size) {
    free(slot->buffer);
    slot->capacity = 0;
    slot->buffer = (unsigned char*)malloc((size_t)slot->size);
    if (slot->buffer == nullptr) return false;
    slot->capacity = slot->size;
  }
  return payload_frame_decode(&worker->decoder, slot->buffer, slot->size, source, compressed);
}

static DWORD WINAPI frames_work(void* context) {
  FrameWorker* worker = static_cast<FrameWorker*>(context);
  PayloadFrames* frames = worker->frames;
  AcquireSRWLockExclusive(&frames->lock);
  while (!frames->cancelled && !frames->claims_ended) {
    FrameSlot* slot = &frames->slots[frames->next_index % frames->in_flight];
    if (frames->next_index >= frames->reading + frames->in_flight ||
        slot->state != FRAME_EMPTY) {
      SleepConditionVariableSRW(&frames->changed, &frames->lock, INFINITE, /* Flags */ 0);
      continue;
    }
    uint64_t decoded = 0;
    uint64_t compressed =
        payload_frame_measure(frames->stream, frames->stream_size, frames->next_offset, &decoded);
    slot->offset = frames->next_offset;
    if (compressed == 0) {
      slot->state = FRAME_STOP;
      frames->claims_ended = true;
      WakeAllConditionVariable(&frames->changed);
      break;
    }
    slot->state = FRAME_DECODING;
    slot->size = decoded;
    frames->next_index++;
    frames->next_offset += compressed;
    ReleaseSRWLockExclusive(&frames->lock);
    bool whole = frames_decode(worker, slot, frames->stream + slot->offset, compressed);
    AcquireSRWLockExclusive(&frames->lock);
    slot->state = whole ? FRAME_DONE : FRAME_FAILED;
    // Decision: nothing after a failed frame is claimed; the reader stops there anyway.
    if (!whole) frames->claims_ended = true;
    WakeAllConditionVariable(&frames->changed);
  }
  ReleaseSRWLockExclusive(&frames->lock);
  return 0;
}

// Tells the workers to stop and waits until each has ended.
static void frames_join(PayloadFrames* frames) {
  AcquireSRWLockExclusive(&frames->lock);
  frames->cancelled = true;
  WakeAllConditionVariable(&frames->changed);
  ReleaseSRWLockExclusive(&frames->lock);
  thread_pool_join(&frames->pool);
}

static void frames_free(PayloadFrames* frames) {
  for (uint32_t i = 0; i < frames->worker_count; i++) {
    payload_frame_decoder_close(&frames->workers[i].decoder);
  }
  for (FrameSlot& slot : frames->slots) free(slot.buffer);
  frames->~PayloadFrames();
  free(frames);
}

PayloadFrames* payload_frames_start(PayloadDecoder* decoder) {
  const unsigned char* stream = static_cast<const unsigned char*>(decoder->input.src);
  uint64_t size = decoder->input.size;
  uint64_t first = 0;
  uint64_t second = 0;
  uint64_t compressed = payload_frame_measure(stream, size, 0, &first);
  if (decoder->input.pos != 0 || compressed == 0 ||
      payload_frame_measure(stream, size, compressed, &second) == 0) {
    return nullptr;
  }
  uint32_t workers = thread_pool_size(ZB_FRAME_WORKERS_MAX);
  // Frames held at once: one per worker and the one being read; fewer when their buffers
  // would pass the cap, but always one decoded ahead of the one being read. The packer makes
  // its frames alike, the first ones the largest.
  uint64_t largest = first > second ? first : second;
  uint32_t in_flight = workers + 1;
  while (in_flight > 2 && in_flight * largest > ZB_FRAMES_MEMORY_BYTES) in_flight--;
  if (workers > in_flight - 1) workers = in_flight - 1;

  void* memory = calloc(1, sizeof(PayloadFrames));
  if (memory == nullptr) return nullptr;
  PayloadFrames* frames = new (memory) PayloadFrames();
  InitializeSRWLock(&frames->lock);
  InitializeConditionVariable(&frames->changed);
  frames->decoder = decoder;
  frames->stream = stream;
  frames->stream_size = size;
  frames->in_flight = in_flight;
  for (uint32_t i = 0; i < workers; i++) {
    FrameWorker* worker = &frames->workers[i];
    worker->frames = frames;
    if (!payload_frame_decoder_open(&worker->decoder)) break;
    frames->worker_count = i + 1;
    if (!thread_pool_add(&frames->pool, frames_work, worker, /* stack_bytes: default */ 0)) break;
  }
  if (frames->pool.count == 0) {
    frames_join(frames);
    frames_free(frames);
    return nullptr;
  }
  return frames;
}

PayloadChunkResult payload_frames_next(PayloadFrames* frames, const unsigned char** data,
                                       uint32_t* size) {
  AcquireSRWLockExclusive(&frames->lock);
  FrameSlot* slot = nullptr;
  for (;;) {
    slot = &frames->slots[frames->reading % frames->in_flight];
    if (slot->state == FRAME_FAILED || slot->state == FRAME_STOP) break;
    if (slot->state != FRAME_DONE) {
      SleepConditionVariableSRW(&frames->changed, &frames->lock, INFINITE, /* Flags */ 0);
      continue;
    }
    if (frames->read < slot->size) {
      uint64_t left = slot->size - frames->read;
      *size = left < ZB_DECODE_BUFFER_BYTES ? (uint32_t)left : ZB_DECODE_BUFFER_BYTES;
      *data = slot->buffer + frames->read;
      frames->read += *size;
      ReleaseSRWLockExclusive(&frames->lock);
      return PAYLOAD_CHUNK_READY;
    }
    // Taken whole (its last bytes were handed out by the call before): the slot is free for
    // the frame in_flight further on.
    slot->state = FRAME_EMPTY;
    frames->reading++;
    frames->read = 0;
    frames->handed++;
    WakeAllConditionVariable(&frames->changed);
  }
  uint64_t offset = slot->offset;
  bool after_frame = frames->reading > 0;
  ReleaseSRWLockExclusive(&frames->lock);
  frames_join(frames);
  // Where the reader's decoder would stand after the frames handed out: at the end of a frame,
  // its next call starting the next one.
  PayloadDecoder* decoder = frames->decoder;
  decoder->input.pos = (size_t)offset;
  decoder->frame_ended = after_frame;
  decoder->output_filled = false;
  return PAYLOAD_CHUNK_STOPPED;
}

uint64_t payload_frames_stop(PayloadFrames* frames) {
  frames_join(frames);
  uint64_t handed = frames->handed;
  frames_free(frames);
  return handed;
}
