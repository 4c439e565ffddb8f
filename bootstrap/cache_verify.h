// The cached mode's check of a kept copy against the payload, before any start uses it.
#pragma once

#include <stdint.h>

#include "bootstrap/payload_reader.h"

// Walks the table of the opened `reader` (checking every name as extraction would) and, when
// `check` is set, checks the copy at `directory` (at most ZB_PATH_UNITS - 1 units, an existing
// real directory): every entry's file is there, a plain file with one name only (no link, no
// second hard link), of the entry's size and with the entry's recorded digest; no directory or
// file below `directory` is a link or junction; and no program or DLL lies there that the
// payload does not hold. The files are hashed on up to ZB_VERIFY_THREADS_MAX threads, each file
// opened once and read in ZB_VERIFY_READ_BYTES requests. The table position is back at the
// first entry afterwards. True when `check` was set and the copy is exactly the payload.
// Fatal: header error for a name that would leave the directory, an entry with a second
// string, or a table whose entries do not match the file digests recorded; memory error.
bool cache_verify_copy(PayloadReader* reader, const wchar_t* directory, bool check);

// True when the file name `name` (`units` units) ends in an extension the system loads code
// from (".dll", ".exe" and the like), case ignored.
bool cache_verify_is_program(const wchar_t* name, uint32_t units);
