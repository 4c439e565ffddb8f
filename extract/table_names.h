// The check of a payload table's names as a whole, before anything is made of them: names
// Windows would change, and names it takes for one.
#pragma once

#include <stdint.h>

#include "format/payload_table.h"

// A name of the table as it lies there: x86-64 reads its little-endian units in place.
struct TableName {
  const wchar_t* units;
  int count;
};

// What a payload table holds: its entries and the sum of their sizes.
struct TableSize {
  uint32_t entries;
  uint64_t bytes;
};

// Walks the whole table before anything is written; returns the table's size. Fatal: header
// error for a name whose components Windows would not keep (format/name_rules.h: NUL.txt,
// CONOUT$, "x.txt."), for two names Windows takes for one (the same name twice, or equal but
// for case: one file would replace the other) and for a file that another name needs as its
// directory ("p" beside "p\q"); allocation error. With `sorted` not null, *sorted receives the
// names in table_name_compare's order (the caller frees it; null for an empty table).
TableSize table_check_names(PayloadTable table, TableName** sorted = nullptr);

// Below, equal to or above 0 as `a` sorts before, with or after `b`: component by component,
// each without regard to case, as the file system compares them. A name is followed at once by
// the names below it taken as a directory ("p", then "p\q", before "p.txt").
int table_name_compare(const TableName* a, const TableName* b);
