// The fuzz builds are native and run the reader alone: the read-ahead and the frame workers
// (Windows threads) never start there, and their other calls are never reached.
#include <stdlib.h>

#include "payload/payload_ahead.h"
#include "payload/payload_frames.h"

PayloadAhead* payload_ahead_start(PayloadDecoder*) { return nullptr; }

PayloadChunkResult payload_ahead_next(PayloadAhead*, const unsigned char**, uint32_t*) {
  abort();
}

void payload_ahead_stop(PayloadAhead*) { abort(); }

PayloadFrames* payload_frames_start(PayloadDecoder*) { return nullptr; }

PayloadChunkResult payload_frames_next(PayloadFrames*, const unsigned char**, uint32_t*) {
  abort();
}

uint64_t payload_frames_stop(PayloadFrames*) { abort(); }
