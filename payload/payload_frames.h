// Frames side by side: a payload stream cut into independent frames, each recording its decoded
// size, is decoded a whole frame at a time on worker threads (one per processor, at most
// ZB_FRAME_WORKERS_MAX), each into a buffer of its own; the reader takes the bytes in stream
// order. A frame is handed out only once it has decoded whole, its checksum and size checked.
#pragma once

#include <stdint.h>

#include "payload/payload_ahead.h"
#include "payload/payload_decoder.h"

struct PayloadFrames;

// Starts the workers on the stream of `decoder` (opened, nothing read yet) when its first two
// frames can be decoded whole (each records its decoded size, at most ZB_FRAME_BYTES_MAX, and
// asks for a window the decoder takes); the caller owns the result until payload_frames_stop.
// Null (nothing runs; the reader decodes as before) for any other stream, or when the workers,
// their buffers or their threads cannot be had. Main thread only.
PayloadFrames* payload_frames_start(PayloadDecoder* decoder);

// Hands back the bytes held so far and waits for the next ones: READY with up to
// ZB_DECODE_BUFFER_BYTES of the next decoded frame (valid until the next call), or STOPPED at
// the first frame the workers do not hand out (the stream's end, a frame they cannot take, or
// one that failed): their threads have then ended, and `decoder` stands at that frame's first
// byte as if it had decoded every frame before it, so the reader decodes on from there and
// meets every error where it would alone. Never FAILED. Main thread only.
PayloadChunkResult payload_frames_next(PayloadFrames* frames, const unsigned char** data,
                                       uint32_t* size);

// Stops the workers (each finishes the frame it decodes) and frees everything; returns how many
// frames were handed out whole. Main thread only.
uint64_t payload_frames_stop(PayloadFrames* frames);
