// The read-ahead: a thread of its own decodes the payload stream while extraction writes. It
// produces decoder outputs into a ring; the reader that owns it consumes them.
#pragma once

#include <stdint.h>

#include "payload/payload_decoder.h"

struct PayloadAhead;

// What the read-ahead hands the reader: READY with the next decoder output (valid until the
// next call), FAILED when the call after the last one handed out failed as a read would
// report it, STOPPED once the last one handed out ended a frame (the reader then goes on
// decoding itself, from where the read-ahead stopped). After FAILED or STOPPED its thread has
// ended and the decoder is the reader's again.
enum PayloadChunkResult { PAYLOAD_CHUNK_READY, PAYLOAD_CHUNK_FAILED, PAYLOAD_CHUNK_STOPPED };

// Starts decoding with `decoder` (opened, nothing read yet) on a second thread into a ring of
// ZB_AHEAD_CHUNKS decoder outputs, and returns the read-ahead, which the caller owns until
// payload_ahead_stop. The bytes, their order and every decode error stay those of the decoder
// called alone; an error found ahead is reported only when the reader reaches it. Null
// (nothing runs) for a stream of S = 0, or when the ring or the thread cannot be had. Main
// thread only.
PayloadAhead* payload_ahead_start(PayloadDecoder* decoder);

// Hands back the output held so far and waits for the next one. Main thread only.
PayloadChunkResult payload_ahead_next(PayloadAhead* ahead, const unsigned char** data,
                                      uint32_t* size);

// Stops the thread, if it still runs (it finishes the decoder call it is in), and frees the
// read-ahead. Main thread only.
void payload_ahead_stop(PayloadAhead* ahead);
