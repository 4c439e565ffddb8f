// Fuzz harness of the payload reader: the input is a payload array, walked the way the
// parent's extraction walks it (entries up to the last-entry flag, each entry's bytes read in
// 32768-byte chunks, then Finish). A header or decode error returns here through the fatal
// exits of fatal_jump.cpp; anything else the reader does wrong aborts.
#include <setjmp.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "base/fatal.h"
#include "base/limits.h"
#include "format/payload_format.h"
#include "payload/payload_reader.h"
#include "tests/fuzz/fatal_jump.h"

// Bytes handed out per input at most: a few zstd bytes can announce gigabytes, and the walk
// would then only repeat the same decoder path for seconds.
static const uint64_t kReadBudget = 64ull << 20;

static unsigned char walk_chunk[ZB_WRITE_CHUNK_BYTES];

static void require(bool condition) {
  if (!condition) abort();
}

static uint64_t read_u64(const uint8_t* p) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; i--) value = (value << 8) | p[i];
  return value;
}

static uint32_t unit_at(const unsigned char* p, uint32_t index) {
  return (uint32_t)p[2 * index] | ((uint32_t)p[2 * index + 1] << 8);
}

// A string the reader handed back lies inside the table, holds 1 to 4095 units without a NUL
// and ends at a NUL unit.
static void check_string(const uint8_t* table, uint64_t table_bytes, const unsigned char* text,
                         uint32_t units) {
  require(units >= 1 && units <= ZB_NAME_MAX_UNITS);
  require(text >= table && (uint64_t)(text - table) <= table_bytes);
  uint64_t offset = (uint64_t)(text - table);
  require(table_bytes - offset >= 2 * (uint64_t)units + 2);
  for (uint32_t i = 0; i < units; i++) require(unit_at(text, i) != 0);
  require(unit_at(text, units) == 0);
}

static PayloadReader walk_reader;

static void walk(const uint8_t* data, size_t size) {
  PayloadReader* reader = &walk_reader;
  payload_open_array(reader, data, size);
  // Open passed: the header's sizes fit the array.
  require(size >= ZB_PAYLOAD_HEADER_BYTES);
  uint64_t table_bytes = read_u64(data);
  require(table_bytes <= size - ZB_PAYLOAD_HEADER_BYTES);
  require(read_u64(data + 8) <= size - ZB_PAYLOAD_HEADER_BYTES - table_bytes);
  const uint8_t* table = data + ZB_PAYLOAD_HEADER_BYTES;
  uint64_t budget = kReadBudget;
  TableCursor cursor = table_cursor(reader->table);
  if (!table_empty(reader->table)) {
    for (;;) {
      PayloadEntry entry;
      payload_next_entry(&cursor, &entry);
      require(entry.flags <= ZB_ENTRY_FLAGS_MAX);
      check_string(table, table_bytes, entry.name, entry.name_units);
      if (entry.flags & ZB_ENTRY_FLAG_SECOND_STRING) {
        check_string(table, table_bytes, entry.second, entry.second_units);
        require(entry.second == entry.name + 2 * (uint64_t)entry.name_units + 2);
      } else {
        require(entry.second == nullptr && entry.second_units == 0);
      }
      for (uint64_t left = entry.size; left > 0;) {
        uint32_t chunk = left < ZB_WRITE_CHUNK_BYTES ? (uint32_t)left : ZB_WRITE_CHUNK_BYTES;
        if (chunk > budget) return;
        budget -= chunk;
        payload_read(reader, walk_chunk, chunk);
        left -= chunk;
      }
      if (entry.flags & ZB_ENTRY_FLAG_LAST) break;
    }
  }
  payload_check_table_end(&cursor);
  payload_finish(reader);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  jmp_buf jump;
  if (setjmp(jump) == 0) {
    fatal_jump_target = &jump;
    fatal_jump_message = nullptr;
    walk(data, size);
  } else {
    // The reader ends only with its own three messages.
    require(strcmp(fatal_jump_message, FATAL_MSG_HEADER) == 0 ||
            strcmp(fatal_jump_message, FATAL_MSG_DECODE) == 0 ||
            strcmp(fatal_jump_message, FATAL_MSG_MEMORY) == 0);
  }
  fatal_jump_target = nullptr;
  payload_close(&walk_reader);
  return 0;
}
