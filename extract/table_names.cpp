#include "extract/table_names.h"

#include <stdlib.h>
#include <windows.h>

#include "base/fatal.h"
#include "format/name_rules.h"
#include "format/payload_format.h"
#include "payload/payload_reader.h"

// Below, equal to or above 0 as the unit `x` sorts before, with or after `y`, neither of them
// "\": as the file system compares them, each in its simple upper case (ASCII folded here,
// any other unit by the system).
static int names_compare_units(wchar_t x, wchar_t y) {
  if (x < 0x80 && y < 0x80) {
    if (x >= L'a' && x <= L'z') x = (wchar_t)(x - L'a' + L'A');
    if (y >= L'a' && y <= L'z') y = (wchar_t)(y - L'a' + L'A');
    return (int)x - (int)y;
  }
  return CompareStringOrdinal(&x, 1, &y, 1, /* bIgnoreCase */ TRUE) - CSTR_EQUAL;
}

// Decision: by component, so that one pass over neighbours finds every clash, and the cached
// mode's check finds the names below a folder as one run after it. One pass over the units
// with "\" below every other unit gives that order: a shorter component sorts first.
int table_name_compare(const TableName* x, const TableName* y) {
  int i = 0;
  for (;; i++) {
    bool x_more = i < x->count;
    bool y_more = i < y->count;
    if (!x_more || !y_more) return (int)x_more - (int)y_more;
    wchar_t a = x->units[i];
    wchar_t b = y->units[i];
    if (a == b) continue;
    if (a == L'\\') return -1;
    if (b == L'\\') return 1;
    int order = names_compare_units(a, b);
    if (order != 0) return order;
  }
}

// qsort's form of table_name_compare.
static int names_compare(const void* a, const void* b) {
  return table_name_compare(static_cast<const TableName*>(a), static_cast<const TableName*>(b));
}

// True when `inner` lies below `outer` taken as a directory: `outer`, "\", more (case ignored).
static bool names_within(const TableName* outer, const TableName* inner) {
  return inner->count > outer->count && inner->units[outer->count] == L'\\' &&
         CompareStringOrdinal(outer->units, outer->count, inner->units, outer->count,
                              /* bIgnoreCase */ TRUE) == CSTR_EQUAL;
}

TableSize table_check_names(PayloadTable table, TableName** sorted) {
  TableSize size = {0, 0};
  if (sorted != nullptr) *sorted = nullptr;
  if (table_empty(table)) return size;
  uint32_t count = 0;
  TableCursor cursor = table_cursor(table);
  for (;;) {
    PayloadEntry entry;
    payload_next_entry(&cursor, &entry);
    // Saturates: only a comparison with a small bound is made of it.
    size.bytes = entry.size > UINT64_MAX - size.bytes ? UINT64_MAX : size.bytes + entry.size;
    if (!name_components_kept(entry.name, entry.name_units)) fatal_exit(FATAL_MSG_HEADER);
    count++;
    if (entry.flags & ZB_ENTRY_FLAG_LAST) break;
  }
  TableName* names = (TableName*)malloc((size_t)count * sizeof(TableName));
  if (names == nullptr) fatal_exit(FATAL_MSG_MEMORY);
  cursor = table_cursor(table);
  for (uint32_t i = 0; i < count; i++) {
    PayloadEntry entry;
    payload_next_entry(&cursor, &entry);
    names[i].units = (const wchar_t*)entry.name;
    names[i].count = (int)entry.name_units;
  }
  qsort(names, count, sizeof(TableName), names_compare);
  // The same name twice (or but for case), or a file that a later name takes for its
  // directory: sorted by component, the two are neighbours.
  for (uint32_t i = 1; i < count; i++) {
    if (table_name_compare(&names[i - 1], &names[i]) == 0 ||
        names_within(&names[i - 1], &names[i])) {
      fatal_exit(FATAL_MSG_HEADER);
    }
  }
  if (sorted != nullptr) {
    *sorted = names;
  } else {
    free(names);
  }
  size.entries = count;
  return size;
}
