#include "bootstrap/payload_reader.h"

#include <stdlib.h>
#include <string.h>

#include <zstd.h>

#include "base/fatal.h"
#include "base/limits.h"
#include "base/little_endian.h"
#include "base/payload_format.h"

// Offsets are counted from the array's first byte and compared against remaining lengths,
// so no pointer is ever formed past the end of the array.
static const unsigned char* reader_array = nullptr;
static uint64_t reader_table_position = 0;
static uint64_t reader_table_end = 0;
static ZSTD_inBuffer reader_input = {nullptr, 0, 0};
static unsigned char* reader_output = nullptr;
// The decoded bytes being handed out: the reader's own buffer, or a chunk the read-ahead
// decoded.
static const unsigned char* reader_chunk = nullptr;
static uint32_t reader_output_valid = 0;
static uint32_t reader_output_read = 0;
static bool reader_output_filled = false;
// Set when the last decoder call completed the frame (and flushed all of it).
static bool reader_frame_ended = false;
static ZSTD_DCtx* reader_decoder = nullptr;
static PayloadChunkSource reader_ahead = nullptr;
#ifdef ZOBRIN_TESTING
static uint64_t reader_decoder_call_count = 0;
#endif

static uint32_t reader_u16(uint64_t offset) {
  return le_read_u16(reader_array + offset);
}

static uint32_t reader_u32(uint64_t offset) {
  return le_read_u32(reader_array + offset);
}

static uint64_t reader_u64(uint64_t offset) {
  return le_read_u64(reader_array + offset);
}

void payload_open_array(const unsigned char* data, uint64_t length) {
  if (length < ZB_PAYLOAD_HEADER_BYTES) {
    fatal_exit(FATAL_MSG_HEADER);
  }
  reader_array = data;
  uint64_t table_size = reader_u64(ZB_PAYLOAD_TABLE_SIZE_OFFSET);
  uint64_t stream_size = reader_u64(ZB_PAYLOAD_STREAM_SIZE_OFFSET);
  if (table_size > length - ZB_PAYLOAD_HEADER_BYTES) {
    fatal_exit(FATAL_MSG_HEADER);
  }
  if (stream_size > length - ZB_PAYLOAD_HEADER_BYTES - table_size) {
    fatal_exit(FATAL_MSG_HEADER);
  }
  reader_table_position = ZB_PAYLOAD_HEADER_BYTES;
  reader_table_end = ZB_PAYLOAD_HEADER_BYTES + table_size;
  reader_input.src = data + reader_table_end;
  reader_input.size = (size_t)stream_size;
  reader_input.pos = 0;

  reader_output = (unsigned char*)malloc(ZB_DECODE_BUFFER_BYTES);
  if (reader_output == nullptr) {
    fatal_exit(FATAL_MSG_MEMORY);
  }
  reader_decoder = ZSTD_createDCtx();
  if (reader_decoder == nullptr) {
    fatal_exit(FATAL_MSG_MEMORY);
  }
  reader_chunk = reader_output;
  reader_ahead = nullptr;
  reader_output_valid = 0;
  reader_output_read = 0;
  reader_output_filled = false;
  reader_frame_ended = false;
#ifdef ZOBRIN_TESTING
  reader_decoder_call_count = 0;
#endif
}

void payload_restart_table(void) {
  reader_table_position = ZB_PAYLOAD_HEADER_BYTES;
}

bool payload_table_empty(void) {
  return reader_table_end == ZB_PAYLOAD_HEADER_BYTES;
}

// Scans a NUL-terminated string of 1 to 4095 units starting at `start`; returns its length
// in units. Fatal: header error when empty, unterminated within 4096 units or the table.
static uint32_t reader_scan_string(uint64_t start) {
  for (uint32_t k = 0;; k++) {
    if (k >= ZB_NAME_MAX_UNITS + 1) {
      fatal_exit(FATAL_MSG_HEADER);
    }
    if (reader_table_end - start < 2 * (uint64_t)k + 2) {
      fatal_exit(FATAL_MSG_HEADER);
    }
    if (reader_u16(start + ZB_ENTRY_UNIT_BYTES * (uint64_t)k) == 0) {
      if (k == 0) {
        fatal_exit(FATAL_MSG_HEADER);
      }
      return k;
    }
  }
}

void payload_next_entry(PayloadEntry* entry) {
  uint64_t p = reader_table_position;
  if (reader_table_end - p < ZB_ENTRY_FIXED_BYTES) {
    fatal_exit(FATAL_MSG_HEADER);
  }
  entry->flags = reader_u32(p + ZB_ENTRY_FLAGS_OFFSET);
  if (entry->flags > ZB_ENTRY_FLAGS_MAX) {
    fatal_exit(FATAL_MSG_HEADER);
  }
  entry->size = reader_u64(p + ZB_ENTRY_SIZE_OFFSET);
  uint64_t name_start = p + ZB_ENTRY_FIXED_BYTES;
  entry->name_units = reader_scan_string(name_start);
  entry->name = reader_array + name_start;
  uint64_t next = name_start + 2 * (uint64_t)entry->name_units + 2;
  entry->second = nullptr;
  entry->second_units = 0;
  if (entry->flags & ZB_ENTRY_FLAG_SECOND_STRING) {
    entry->second_units = reader_scan_string(next);
    entry->second = reader_array + next;
    next += 2 * (uint64_t)entry->second_units + 2;
  }
  reader_table_position = next;
}

bool payload_stream_empty(void) {
  return reader_input.size == 0;
}

void payload_set_chunk_source(PayloadChunkSource source) {
  reader_ahead = source;
}

// Decision: the buffer-filled flag keeps its value from one call to the next. A decoder call
// that filled the whole buffer may leave output inside the decoder; keeping the flag lets the
// next call fetch it even when all input is consumed. A short stream still ends: the call
// after the frame's end produces less than a full buffer and clears the flag.
// One decoder call into `output` (capacity ZB_DECODE_BUFFER_BYTES): false when it fails;
// else true with the bytes it produced and whether it consumed input. Records whether it
// filled the buffer and whether it completed the frame.
static bool reader_decoder_call(unsigned char* output, uint32_t* produced, bool* consumed) {
  ZSTD_outBuffer buffer = {output, ZB_DECODE_BUFFER_BYTES, 0};
  size_t consumed_before = reader_input.pos;
  size_t result = ZSTD_decompressStream(reader_decoder, &buffer, &reader_input);
#ifdef ZOBRIN_TESTING
  reader_decoder_call_count++;
#endif
  if (ZSTD_isError(result)) return false;
  *produced = (uint32_t)buffer.pos;
  *consumed = reader_input.pos != consumed_before;
  reader_output_filled = buffer.pos == ZB_DECODE_BUFFER_BYTES;
  reader_frame_ended = result == 0;
  return true;
}

bool payload_decode_step(unsigned char* output, uint32_t* produced) {
  bool input_left = reader_input.pos < reader_input.size;
  if (!input_left && !reader_output_filled) return false;
  bool consumed = false;
  if (!reader_decoder_call(output, produced, &consumed)) return false;
  // A call that neither consumed input nor produced output would repeat forever.
  return !(input_left && *produced == 0 && !consumed);
}

bool payload_frame_ended(void) {
  return reader_frame_ended;
}

// Makes the next decoded bytes current. With a read-ahead, its next chunk; once it has
// stopped at a frame's end, decoding goes on here. Fatal: decode error.
static void reader_refill(void) {
  if (reader_ahead != nullptr) {
    const unsigned char* data = nullptr;
    uint32_t size = 0;
    PayloadChunkResult result = reader_ahead(&data, &size);
    if (result == PAYLOAD_CHUNK_FAILED) fatal_exit(FATAL_MSG_DECODE);
    if (result == PAYLOAD_CHUNK_READY) {
      reader_chunk = data;
      reader_output_valid = size;
      reader_output_read = 0;
      return;
    }
    reader_ahead = nullptr;
  }
  uint32_t produced = 0;
  if (!payload_decode_step(reader_output, &produced)) fatal_exit(FATAL_MSG_DECODE);
  reader_chunk = reader_output;
  reader_output_valid = produced;
  reader_output_read = 0;
}

uint32_t payload_take(const unsigned char** data, uint64_t wanted) {
  while (reader_output_valid == reader_output_read) reader_refill();
  uint32_t available = reader_output_valid - reader_output_read;
  uint32_t take = wanted < available ? (uint32_t)wanted : available;
  *data = reader_chunk + reader_output_read;
  reader_output_read += take;
  return take;
}

void payload_read(unsigned char* destination, uint32_t count) {
  uint32_t copied = 0;
  while (copied < count) {
    const unsigned char* data = nullptr;
    uint32_t take = payload_take(&data, count - copied);
    memcpy(destination + copied, data, take);
    copied += take;
  }
}

// Decision: an array without a stream (S = 0) is left alone, so a table of empty files needs
// none; the packer always writes a frame, and the digest covers S.
static void reader_drain(void) {
  if (reader_input.size == 0) return;
  // Decoded bytes that no entry took.
  if (reader_output_valid > reader_output_read) {
    fatal_exit(FATAL_MSG_DECODE);
  }
  // The read-ahead's remaining chunks are the calls the loop below would make: any byte in
  // them is one too many.
  while (reader_ahead != nullptr) {
    const unsigned char* data = nullptr;
    uint32_t size = 0;
    PayloadChunkResult result = reader_ahead(&data, &size);
    if (result == PAYLOAD_CHUNK_FAILED || (result == PAYLOAD_CHUNK_READY && size != 0)) {
      fatal_exit(FATAL_MSG_DECODE);
    }
    if (result == PAYLOAD_CHUNK_STOPPED) reader_ahead = nullptr;
  }
  while (!reader_frame_ended) {
    uint32_t produced = 0;
    bool consumed = false;
    // An error (a checksum mismatch among them) or a byte the table does not account for.
    if (!reader_decoder_call(reader_output, &produced, &consumed) || produced != 0) {
      fatal_exit(FATAL_MSG_DECODE);
    }
    // The input is used up and the frame is not complete: a cut stream.
    if (!reader_frame_ended && !consumed) fatal_exit(FATAL_MSG_DECODE);
  }
  // Bytes after the frame's end.
  if (reader_input.pos != reader_input.size) {
    fatal_exit(FATAL_MSG_DECODE);
  }
}

void payload_finish(void) {
  if (reader_table_position != reader_table_end) {
    fatal_exit(FATAL_MSG_HEADER);
  }
  reader_drain();
  ZSTD_freeDCtx(reader_decoder);
  reader_decoder = nullptr;
  free(reader_output);
  reader_output = nullptr;
  reader_chunk = nullptr;
}

#ifdef ZOBRIN_TESTING
uint64_t payload_decoder_calls(void) {
  return reader_decoder_call_count;
}

void payload_release(void) {
  reader_ahead = nullptr;
  ZSTD_freeDCtx(reader_decoder);
  reader_decoder = nullptr;
  free(reader_output);
  reader_output = nullptr;
}
#endif
