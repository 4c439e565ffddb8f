// The payload table as a view over the array's bytes, and the one cursor that walks it: the
// launcher's extraction, its cache check and its removal by name, and the packer's list,
// verify and extract all read entries through table_next. No allocation, no system calls.
#pragma once

#include <stdint.h>

// The table's bytes in the array (not copied): from the array's offset 16, T of them.
struct PayloadTable {
  const unsigned char* bytes;
  uint64_t size;
};

// One table entry as the cursor hands it back. Names point into the table (2-byte
// little-endian UTF-16 units, not NUL-terminated here) and are not copied.
struct PayloadEntry {
  uint32_t flags;
  uint64_t size;
  const unsigned char* name;
  uint32_t name_units;
  const unsigned char* second;  // null unless flags bit 1 is set
  uint32_t second_units;
};

// A position in a table: the offset of the next entry from the table's first byte. Offsets
// are compared against remaining lengths, so no pointer is ever formed past the table.
struct TableCursor {
  PayloadTable table;
  uint64_t position;
};

// What table_next found at the cursor.
enum TableStep {
  TABLE_ENTRY,           // an entry, handed back; the cursor moved past it
  TABLE_END,             // the cursor is at the table's end
  TABLE_PARTIAL,         // fewer bytes left than an entry's fixed part
  TABLE_BAD_ENTRY,       // flags above ZB_ENTRY_FLAGS_MAX, or a malformed name
  TABLE_BAD_SECOND,      // a malformed second string
};

// The table of the array at `array`, whose header sizes are checked (T within L - 16).
PayloadTable table_of_array(const unsigned char* array);

// A cursor at the table's first entry.
TableCursor table_cursor(PayloadTable table);

// True when the table holds no entries (T = 0).
bool table_empty(PayloadTable table);

// True when the cursor has passed the table's last byte.
bool table_at_end(const TableCursor* cursor);

// Reads the entry at the cursor into `entry` and moves past it. A string is 1 to
// ZB_NAME_MAX_UNITS units and a NUL unit, all within the table. On anything but TABLE_ENTRY
// the cursor stays where it was.
TableStep table_next(TableCursor* cursor, PayloadEntry* entry);
