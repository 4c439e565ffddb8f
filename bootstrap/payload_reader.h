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
// and the digest in the section head must match its header and table and the head's length,
// run flags and content key (payload_digest). Fatal: header error, allocation error.
void payload_open(void);

// The run flags (ZB_RUN_FLAG_*) in the section head of the array linked into the image, after
// the same check of the head as payload_open (read before anything is created). Fatal: header
// error for a damaged head or a bit the launcher does not know.
uint64_t payload_linked_flags(void);

// The content key in the section head of the array linked into the image (the packer's
// payload_content_key; checked against the digest, not recomputed). Fatal: header error for a
// damaged head.
uint64_t payload_linked_key(void);

// The file digests recorded after the array linked into the image (cached mode): points
// `digests` at the first (8 little-endian bytes each, in table order) and returns their count,
// 0 outside the cached mode. Checked against the head's digest, as payload_open. Fatal: header
// error for a damaged head.
uint64_t payload_linked_file_digests(const unsigned char** digests);

// Moves the table position back to the first entry, so the table can be walked again; only
// while nothing of the stream has been read.
void payload_restart_table(void);

// Opens any array of `length` bytes (the linked one once its head is checked, or one a test
// made) with the header checks only. Fatal: header error, allocation error.
void payload_open_array(const unsigned char* data, uint64_t length);

// True when the payload table holds no entries (table size 0).
bool payload_table_empty(void);

// Reads the entry at the table position and moves past it. Fatal: header error.
void payload_next_entry(PayloadEntry* entry);

// Hands out the next decoded bytes without copying them: points `data` at up to `wanted`
// (at least 1) of them and returns how many. They stay readable until the next take, read or
// finish. Fatal: decode error when the stream cannot supply a byte.
uint32_t payload_take(const unsigned char** data, uint64_t wanted);

// Copies the next `count` bytes of the decompressed stream to `destination` (capacity at
// least `count`). Fatal: decode error when the stream cannot supply them.
void payload_read(unsigned char* destination, uint32_t count);

// Checks that the table ended exactly, then decodes the rest of the stream: the frame must
// end there without one more decoded byte, and the stream with it (a frame's checksum is
// checked at its end). Then frees the decoder and its buffer. An array without a stream
// (S = 0) is not decoded. Fatal: header error (table), decode error (stream).
void payload_finish(void);

// A read-ahead of the stream. A source hands out the decoder calls' outputs in their order:
// READY with the next one (valid until the next call), FAILED when the call after the last
// one handed out failed as a read would report it, STOPPED once the last one handed out
// ended a frame (the reader then goes on decoding itself, from where the source stopped).
enum PayloadChunkResult { PAYLOAD_CHUNK_READY, PAYLOAD_CHUNK_FAILED, PAYLOAD_CHUNK_STOPPED };
typedef PayloadChunkResult (*PayloadChunkSource)(const unsigned char** data, uint32_t* size);

// Makes the reader take decoded bytes from `source` (null: decode itself) from the next
// refill on. Set only while the reader's own buffer holds nothing unread.
void payload_set_chunk_source(PayloadChunkSource source);

// True when the opened array has no stream (S = 0).
bool payload_stream_empty(void);

// One decoder call, as a read makes it, into `output` (capacity ZB_DECODE_BUFFER_BYTES):
// true with the bytes produced; false when the call fails or the stream can supply no more.
// Only one thread at a time may make decoder calls. Never fatal.
bool payload_decode_step(unsigned char* output, uint32_t* produced);

// True when the last decoder call completed the frame.
bool payload_frame_ended(void);

#ifdef ZOBRIN_TESTING
// Counts decoder calls since Open, for tests of the decoding rules.
uint64_t payload_decoder_calls(void);

// Frees the decoder and its buffer if they are still held, without any check, so a test
// that ended a walk early (its fatal exit returned to the test) can open another array.
// The launcher itself never calls this: a failed run ends the process.
void payload_release(void);
#endif
