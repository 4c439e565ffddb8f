// The counts of a ring shared by one producing and one consuming thread: which slot each side
// may use, who waits for whom, and when a waiting side is woken. The slots themselves (buffers,
// handles) are the owner's; a side uses the slot index it was given outside the lock. The read-
// ahead (decoder outputs) and the closer (finished files) are the two rings.
#pragma once

#include <stdint.h>
#include <windows.h>

// A zeroed Ring (a static one, or `Ring ring = {}`) is a valid, empty, drained ring.
struct Ring {
  SRWLOCK lock;
  CONDITION_VARIABLE space;  // a slot was freed, or the ring was cancelled
  CONDITION_VARIABLE ready;  // a slot was filled, or the ring has ended
  uint32_t capacity;
  // A sleeping side is woken once this many slots are ready (or free), or at the end.
  uint32_t wake_batch;
  uint32_t produced;
  uint32_t consumed;
  bool ended;      // the producer puts nothing more
  bool cancelled;  // the consumer takes nothing more
  uint32_t space_sleepers;
  bool consumer_sleeps;
};

// Empties `ring` for `capacity` slots (at least 1) and a wake batch of `wake_batch` (1 to
// capacity). Neither side may be using it; a wait for it to drain may.
void ring_reset(Ring* ring, uint32_t capacity, uint32_t wake_batch);

// Producer: waits while every slot is taken; false once the ring is cancelled, else true with
// the index of the slot to fill in *slot.
bool ring_wait_space(Ring* ring, uint32_t* slot);

// Producer: publishes the slot filled since ring_wait_space (`filled`) and, with `end`, that
// nothing more comes.
void ring_publish(Ring* ring, bool filled, bool end);

// Consumer: waits for a filled slot; true with its index, false once the ring has ended with
// nothing left. The slot stays the consumer's until ring_release.
bool ring_wait_ready(Ring* ring, uint32_t* slot);

// Consumer: gives back the slot ring_wait_ready handed out.
void ring_release(Ring* ring);

// Consumer: stops the producer (its next ring_wait_space answers false).
void ring_cancel(Ring* ring);

// Any thread: waits at most `timeout_ms` until every slot published has been released; true
// when they all are.
bool ring_wait_drained(Ring* ring, DWORD timeout_ms);
