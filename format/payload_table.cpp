#include "format/payload_table.h"

#include "format/little_endian.h"
#include "format/payload_format.h"

PayloadTable table_of_array(const unsigned char* array) {
  PayloadTable table;
  table.bytes = array + ZB_PAYLOAD_HEADER_BYTES;
  table.size = le_read_u64(array + ZB_PAYLOAD_TABLE_SIZE_OFFSET);
  return table;
}

TableCursor table_cursor(PayloadTable table) {
  TableCursor cursor;
  cursor.table = table;
  cursor.position = 0;
  return cursor;
}

bool table_empty(PayloadTable table) {
  return table.size == 0;
}

bool table_at_end(const TableCursor* cursor) {
  return cursor->position == cursor->table.size;
}

// Units of the NUL-terminated string at `start`: 1 to ZB_NAME_MAX_UNITS, or 0 when it is
// empty, longer or runs past the table.
static uint32_t table_string_units(const PayloadTable* table, uint64_t start) {
  for (uint32_t k = 0; k <= ZB_NAME_MAX_UNITS; k++) {
    if (table->size - start < ZB_ENTRY_UNIT_BYTES * (uint64_t)k + ZB_ENTRY_UNIT_BYTES) return 0;
    if (le_read_u16(table->bytes + start + ZB_ENTRY_UNIT_BYTES * (uint64_t)k) == 0) return k;
  }
  return 0;
}

TableStep table_next(TableCursor* cursor, PayloadEntry* entry) {
  const PayloadTable* table = &cursor->table;
  uint64_t p = cursor->position;
  if (p == table->size) return TABLE_END;
  if (table->size - p < ZB_ENTRY_FIXED_BYTES) return TABLE_PARTIAL;
  entry->flags = le_read_u32(table->bytes + p + ZB_ENTRY_FLAGS_OFFSET);
  entry->size = le_read_u64(table->bytes + p + ZB_ENTRY_SIZE_OFFSET);
  uint64_t name_start = p + ZB_ENTRY_FIXED_BYTES;
  entry->name_units = entry->flags > ZB_ENTRY_FLAGS_MAX ? 0 : table_string_units(table, name_start);
  if (entry->name_units == 0) return TABLE_BAD_ENTRY;
  entry->name = table->bytes + name_start;
  uint64_t next = name_start + ZB_ENTRY_UNIT_BYTES * ((uint64_t)entry->name_units + 1);
  entry->second = nullptr;
  entry->second_units = 0;
  if (entry->flags & ZB_ENTRY_FLAG_SECOND_STRING) {
    entry->second_units = table_string_units(table, next);
    if (entry->second_units == 0) return TABLE_BAD_SECOND;
    entry->second = table->bytes + next;
    next += ZB_ENTRY_UNIT_BYTES * ((uint64_t)entry->second_units + 1);
  }
  cursor->position = next;
  return TABLE_ENTRY;
}
