// The check of a payload table's names as a whole, before anything is made of them: names
// Windows would change, and names it takes for one.
#pragma once

#include <stdint.h>

#include "format/payload_table.h"

// What a payload table holds: its entries and the sum of their sizes.
struct TableSize {
  uint32_t entries;
  uint64_t bytes;
};

// Walks the whole table before anything is written; returns the table's size. Fatal: header
// error for a name whose components Windows would not keep (format/name_rules.h: NUL.txt,
// CONOUT$, "x.txt."), for two names Windows takes for one (the same name twice, or equal but
// for case: one file would replace the other) and for a file that another name needs as its
// directory ("p" beside "p\q"); allocation error.
TableSize table_check_names(PayloadTable table);
