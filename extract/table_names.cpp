#include "extract/table_names.h"

#include <stdlib.h>
#include <windows.h>

#include "base/fatal.h"
#include "format/name_rules.h"
#include "format/payload_format.h"
#include "payload/payload_reader.h"

// Units of `name` from `start` up to the next "\" or its end.
static int names_component_end(const TableName* name, int start) {
  int end = start;
  while (end < name->count && name->units[end] != L'\\') end++;
  return end;
}

// Decision: by component, so that one pass over neighbours finds every clash, and the cached
// mode's check finds the names below a folder as one run after it.
int table_name_compare(const TableName* x, const TableName* y) {
  int i = 0;
  int j = 0;
  for (;;) {
    int x_end = names_component_end(x, i);
    int y_end = names_component_end(y, j);
    // The comparison the file system makes: each unit in its simple upper case.
    int order = CompareStringOrdinal(x->units + i, x_end - i, y->units + j, y_end - j,
                                     /* bIgnoreCase */ TRUE) - CSTR_EQUAL;
    if (order != 0) return order;
    bool x_more = x_end < x->count;
    bool y_more = y_end < y->count;
    if (!x_more || !y_more) return (int)x_more - (int)y_more;
    i = x_end + 1;
    j = y_end + 1;
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
