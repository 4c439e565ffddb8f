// The payload reader: takes the embedded payload array apart in place.
#pragma once

#include <stdint.h>

// One payload table entry, as Next entry hands it back. Names point into the table
// (2-byte little-endian UTF-16 units, not NUL-terminated here) and are not copied.
struct PayloadEntry {
  uint32_t flags;
  uint64_t size;
  const unsigned char* name;
  uint32_t name_units;
  const unsigned char* second;  // null unless flags bit 1 is set
  uint32_t second_units;
};

// Opens the array linked into the image: its length must fit the image section that holds it,
// and its header and table must match the digest in the section head. Fatal: header error,
// allocation error.
void payload_open(void);

// The run flags (ZB_RUN_FLAG_*) in the section head of the array linked into the image. Fatal:
// header error for a bit the launcher does not know (read before anything is created).
uint64_t payload_linked_flags(void);

// The content key in the section head of the array linked into the image (the packer's
// payload_content_key; not recomputed here).
uint64_t payload_linked_key(void);

// Moves the table position back to the first entry, so the table can be walked again; only
// while nothing of the stream has been read.
void payload_restart_table(void);

// Opens any array of `length` bytes (one a test made) with the header checks only. Fatal:
// header error, allocation error.
void payload_open_array(const unsigned char* data, uint64_t length);

// Opens an array as payload_open_array does, then checks its header and table against
// `digest` (payload_digest). Fatal: header error (also on a mismatch), allocation error.
void payload_open_checked(const unsigned char* data, uint64_t length, uint64_t digest);

// True when the payload table holds no entries (table size 0).
bool payload_table_empty(void);

// Reads the entry at the table position and moves past it. Fatal: header error.
void payload_next_entry(PayloadEntry* entry);

// Copies the next `count` bytes of the decompressed stream to `destination` (capacity at
// least `count`). Fatal: decode error when the stream cannot supply them.
void payload_read(unsigned char* destination, uint32_t count);

// Checks that the table ended exactly, then decodes the rest of the stream: the frame must
// end there without one more decoded byte, and the stream with it (a frame's checksum is
// checked at its end). Then frees the decoder and its buffer. An array without a stream
// (S = 0) is not decoded. Fatal: header error (table), decode error (stream).
void payload_finish(void);

#ifdef ZOBRIN_TESTING
// Counts decoder calls since Open, for tests of the decoding rules.
uint64_t payload_decoder_calls(void);

// Frees the decoder and its buffer if they are still held, without any check, so a test
// that ended a walk early (its fatal exit returned to the test) can open another array.
// The launcher itself never calls this: a failed run ends the process.
void payload_release(void);
#endif
