// Removal of a payload directory by the names the walk wrote into it, listing only what the
// names do not account for.
#pragma once

#include <stdint.h>

#include "format/payload_table.h"

// Removes `directory` (NUL-terminated, at most ZB_PATH_UNITS - 1 units), which a walk filled
// from the first `entries` entries of `table` (the array's table, as the walk checked it),
// walked with a cursor that stops at the first entry it cannot read. Each entry's file is deleted by name;
// each directory on the way is looked at once, top-down, before any name below it is used: a
// link or junction there (or a file) is removed itself and nothing below it is touched, one
// that is missing is skipped. A directory is removed once the table has left it, deepest
// first; one that will not go (the application wrote into it) is listed and removed like
// cleanup_remove_tree, which also takes any name that cannot be deleted plainly (read-only,
// replaced by a directory or a link). Last the directory itself goes, listed only when it is
// not empty. With no table (its bytes null) it is cleanup_remove_tree. True when `directory` is gone or
// was never there; false when anything stays. No heap; never fatal.
bool cleanup_remove_written(const wchar_t* directory, PayloadTable table, uint32_t entries);

// cleanup_remove_written once, then cleanup_remove_tree, up to ZB_REMOVE_ATTEMPTS calls in
// all, each failed call followed by a ZB_REMOVE_PAUSE_MS pause (the last one too). True once
// a call answered true; *calls is the number of calls made. Never fatal.
bool cleanup_remove_written_retrying(const wchar_t* directory, PayloadTable table,
                                     uint32_t entries, uint32_t* calls);
