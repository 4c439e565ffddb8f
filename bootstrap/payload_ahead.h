// The read-ahead: a thread of its own decodes the payload stream while extraction writes.
#pragma once

// Starts decoding the opened payload's stream on a second thread into a ring of
// ZB_AHEAD_CHUNKS decoder outputs and makes the reader take its bytes from there. The bytes,
// their order and every decode error stay those of the reader decoding alone; an error found
// ahead is reported only when the reader reaches it. False (and the reader decodes alone) for
// a stream of S = 0, or when the ring or the thread cannot be had. Main thread only; call
// right after opening, before the first read.
bool payload_ahead_start(void);

// Stops the thread (it finishes the decoder call it is in) and frees the ring; the reader
// decodes alone from then on and must not be read again. Does nothing when no read-ahead
// runs. Main thread only; for the clean-up before a fatal exit.
void payload_ahead_stop(void);
