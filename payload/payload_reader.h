// The payload reader: takes the embedded payload array apart in place. A reader is a context
// of its own; it owns its decoder and its read-ahead, and consumes what the read-ahead
// produces. It hands out the stream; the table is walked with cursors
// (format/payload_table.h) over the view it keeps.
#pragma once

#include <stdint.h>

#include "format/payload_table.h"
#include "payload/payload_ahead.h"
#include "payload/payload_decoder.h"
#include "payload/payload_frames.h"
#include "payload/payload_image.h"

// A zeroed one (`PayloadReader reader = {}`) is closed.
struct PayloadReader {
  // Offsets are counted from the array's first byte and compared against remaining lengths,
  // so no pointer is ever formed past the end of the array.
  const unsigned char* array;
  // The table, for cursors (format/payload_table.h).
  PayloadTable table;
  PayloadDecoder decoder;
  // The reader's own decoder output.
  unsigned char* output;
  // The decoded bytes being handed out: the reader's own output, or a chunk the read-ahead
  // decoded; how many are valid and how many were handed out.
  const unsigned char* chunk;
  uint32_t chunk_valid;
  uint32_t chunk_read;
  // The read-ahead while it runs, else null; or, for a stream cut into frames, the frame
  // workers while they run, and how many frames they handed out whole.
  PayloadAhead* ahead;
  PayloadFrames* frames;
  uint64_t frames_handed;
};

// Opens the array of the checked `image` (payload/payload_image.h). Fatal: allocation error.
void payload_open(PayloadReader* reader, const PayloadImage* image);

// Opens any array of `length` bytes (an image's, or one a test made) with the header checks only. Fatal: header error, allocation error.
void payload_open_array(PayloadReader* reader, const unsigned char* data, uint64_t length);

// Reads the entry at the cursor and moves past it. Fatal: header error for anything but a
// well-formed entry (the table's end too).
void payload_next_entry(TableCursor* cursor, PayloadEntry* entry);

// Fatal: header error unless the cursor has passed the table's last byte (a walk that ended
// at the last-entry flag before the table did).
void payload_check_table_end(const TableCursor* cursor);

// Starts the reader's read-ahead, right after opening, before the first read: the frame
// workers (payload/payload_frames.h) for a stream they take, else the read-ahead's thread
// (payload/payload_ahead.h); false when neither runs (the reader then decodes alone). Main
// thread only.
bool payload_start_read_ahead(PayloadReader* reader);

// Stops the read-ahead or the frame workers, if they run; the reader must not be read again.
// Main thread only; for the clean-up before a fatal exit.
void payload_stop_read_ahead(PayloadReader* reader);

// Hands out the next decoded bytes without copying them: points `data` at up to `wanted`
// (at least 1) of them and returns how many. They stay readable until the next take, read or
// finish. Fatal: decode error when the stream cannot supply a byte.
uint32_t payload_take(PayloadReader* reader, const unsigned char** data, uint64_t wanted);

// Copies the next `count` bytes of the decompressed stream to `destination` (capacity at
// least `count`). Fatal: decode error when the stream cannot supply them.
void payload_read(PayloadReader* reader, unsigned char* destination, uint32_t count);

// Decodes the rest of the stream: the frame being decoded must end there without one more
// decoded byte, and the stream with it (a frame's checksum is checked at its end). Then closes
// the reader. An array without a stream (S = 0) is not decoded. Fatal: decode error.
void payload_finish(PayloadReader* reader);

// Closes the reader without any check: stops the read-ahead, frees the decoder and its
// buffer. A closed reader may be opened again.
void payload_close(PayloadReader* reader);
