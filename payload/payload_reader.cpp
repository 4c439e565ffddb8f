#include "payload/payload_reader.h"

#include <stdlib.h>
#include <string.h>

#include "base/fatal.h"
#include "base/limits.h"
#include "format/little_endian.h"
#include "format/payload_format.h"

void payload_open_array(PayloadReader* reader, const unsigned char* data, uint64_t length) {
  if (length < ZB_PAYLOAD_HEADER_BYTES) {
    fatal_exit(FATAL_MSG_HEADER);
  }
  uint64_t table_size = le_read_u64(data + ZB_PAYLOAD_TABLE_SIZE_OFFSET);
  uint64_t stream_size = le_read_u64(data + ZB_PAYLOAD_STREAM_SIZE_OFFSET);
  if (table_size > length - ZB_PAYLOAD_HEADER_BYTES) {
    fatal_exit(FATAL_MSG_HEADER);
  }
  if (stream_size > length - ZB_PAYLOAD_HEADER_BYTES - table_size) {
    fatal_exit(FATAL_MSG_HEADER);
  }
  reader->array = data;
  reader->table = table_of_array(data);
  reader->output = (unsigned char*)malloc(ZB_DECODE_BUFFER_BYTES);
  if (reader->output == nullptr) {
    fatal_exit(FATAL_MSG_MEMORY);
  }
  if (!payload_decoder_open(&reader->decoder, reader->table.bytes + table_size, stream_size)) {
    fatal_exit(FATAL_MSG_MEMORY);
  }
  reader->chunk = reader->output;
  reader->chunk_valid = 0;
  reader->chunk_read = 0;
}

void payload_open(PayloadReader* reader, const PayloadImage* image) {
  payload_open_array(reader, image->array, image->length);
}

void payload_next_entry(TableCursor* cursor, PayloadEntry* entry) {
  if (table_next(cursor, entry) != TABLE_ENTRY) fatal_exit(FATAL_MSG_HEADER);
}

void payload_check_table_end(const TableCursor* cursor) {
  if (!table_at_end(cursor)) fatal_exit(FATAL_MSG_HEADER);
}

bool payload_start_read_ahead(PayloadReader* reader) {
  if (reader->ahead != nullptr || reader->frames != nullptr) return true;
  reader->frames = payload_frames_start(&reader->decoder);
  if (reader->frames == nullptr) reader->ahead = payload_ahead_start(&reader->decoder);
  return reader->ahead != nullptr || reader->frames != nullptr;
}

void payload_stop_read_ahead(PayloadReader* reader) {
  if (reader->frames != nullptr) {
    reader->frames_handed += payload_frames_stop(reader->frames);
    reader->frames = nullptr;
  }
  if (reader->ahead == nullptr) return;
  payload_ahead_stop(reader->ahead);
  reader->ahead = nullptr;
}

// The next output of the read-ahead or the frame workers, whichever runs (one of them must).
static PayloadChunkResult reader_next_ahead(PayloadReader* reader, const unsigned char** data,
                                            uint32_t* size) {
  if (reader->frames != nullptr) return payload_frames_next(reader->frames, data, size);
  return payload_ahead_next(reader->ahead, data, size);
}

// Makes the next decoded bytes current. With a read-ahead or frame workers, their next chunk;
// once they have stopped (the read-ahead at a frame's end, the workers at a frame they do not
// hand out), decoding goes on here. Fatal: decode error.
static void reader_refill(PayloadReader* reader) {
  if (reader->ahead != nullptr || reader->frames != nullptr) {
    const unsigned char* data = nullptr;
    uint32_t size = 0;
    PayloadChunkResult result = reader_next_ahead(reader, &data, &size);
    if (result == PAYLOAD_CHUNK_FAILED) fatal_exit(FATAL_MSG_DECODE);
    if (result == PAYLOAD_CHUNK_READY) {
      reader->chunk = data;
      reader->chunk_valid = size;
      reader->chunk_read = 0;
      return;
    }
    payload_stop_read_ahead(reader);
  }
  uint32_t produced = 0;
  if (!payload_decode_step(&reader->decoder, reader->output, &produced)) {
    fatal_exit(FATAL_MSG_DECODE);
  }
  reader->chunk = reader->output;
  reader->chunk_valid = produced;
  reader->chunk_read = 0;
}

uint32_t payload_take(PayloadReader* reader, const unsigned char** data, uint64_t wanted) {
  while (reader->chunk_valid == reader->chunk_read) reader_refill(reader);
  uint32_t available = reader->chunk_valid - reader->chunk_read;
  uint32_t take = wanted < available ? (uint32_t)wanted : available;
  *data = reader->chunk + reader->chunk_read;
  reader->chunk_read += take;
  return take;
}

void payload_read(PayloadReader* reader, unsigned char* destination, uint32_t count) {
  uint32_t copied = 0;
  while (copied < count) {
    const unsigned char* data = nullptr;
    uint32_t take = payload_take(reader, &data, count - copied);
    memcpy(destination + copied, data, take);
    copied += take;
  }
}

// Decision: an array without a stream (S = 0) is left alone, so a table of empty files needs
// none; the packer always writes a frame, and the digest covers S.
static void reader_drain(PayloadReader* reader) {
  PayloadDecoder* decoder = &reader->decoder;
  if (decoder->input.size == 0) return;
  // Decoded bytes that no entry took.
  if (reader->chunk_valid > reader->chunk_read) {
    fatal_exit(FATAL_MSG_DECODE);
  }
  // The read-ahead's remaining chunks are the calls the loop below would make: any byte in
  // them is one too many (the frame workers hand out no empty chunk).
  while (reader->ahead != nullptr || reader->frames != nullptr) {
    const unsigned char* data = nullptr;
    uint32_t size = 0;
    PayloadChunkResult result = reader_next_ahead(reader, &data, &size);
    if (result == PAYLOAD_CHUNK_FAILED || (result == PAYLOAD_CHUNK_READY && size != 0)) {
      fatal_exit(FATAL_MSG_DECODE);
    }
    if (result == PAYLOAD_CHUNK_STOPPED) payload_stop_read_ahead(reader);
  }
  while (!decoder->frame_ended) {
    uint32_t produced = 0;
    bool consumed = false;
    // An error (a checksum mismatch among them) or a byte the table does not account for.
    if (!payload_decoder_call(decoder, reader->output, &produced, &consumed) || produced != 0) {
      fatal_exit(FATAL_MSG_DECODE);
    }
    // The input is used up and the frame is not complete: a cut stream.
    if (!decoder->frame_ended && !consumed) fatal_exit(FATAL_MSG_DECODE);
  }
  // Bytes after the frame's end.
  if (decoder->input.pos != decoder->input.size) {
    fatal_exit(FATAL_MSG_DECODE);
  }
}

void payload_finish(PayloadReader* reader) {
  reader_drain(reader);
  payload_close(reader);
}

void payload_close(PayloadReader* reader) {
  payload_stop_read_ahead(reader);
  payload_decoder_close(&reader->decoder);
  free(reader->output);
  reader->output = nullptr;
  reader->chunk = nullptr;
  reader->chunk_valid = 0;
  reader->chunk_read = 0;
}
