// The fuzz builds are native and run the reader alone: the read-ahead (a Windows thread) never
// starts there, and its other calls are never reached.
#include <stdlib.h>

#include "bootstrap/payload_ahead.h"

PayloadAhead* payload_ahead_start(PayloadDecoder*) { return nullptr; }

PayloadChunkResult payload_ahead_next(PayloadAhead*, const unsigned char**, uint32_t*) {
  abort();
}

void payload_ahead_stop(PayloadAhead*) { abort(); }
