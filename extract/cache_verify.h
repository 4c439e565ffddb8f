// The cached mode's check of a kept copy against the payload, before any start uses it.
#pragma once

#include <stdint.h>

#include "cleanup/held_files.h"
#include "extract/table_names.h"
#include "payload/payload_image.h"

// Walks the table of `image` (checking every name as extraction would) and, when
// `check` is set, checks the copy (the table's `names` as table_check_names sorted them, not
// null when `check` is set and the table holds any) at `directory` (at most ZB_PATH_UNITS - 1 units, an existing
// real directory): every entry's file is there, a plain file with one name only (no link, no
// second hard link), of the entry's size and with the entry's recorded digest; no directory or
// file below `directory` is a link or junction; and no extra file (one the table does not
// hold) may run code: none is an image by its first bytes (held_files_is_image), a manifest,
// a ".local" redirection (file or folder), a name ending in a dot or a space, or a file that
// cannot be read. With `images_only`, the entries that are not images are checked for their
// size only. The files are hashed on up to ZB_VERIFY_THREADS_MAX threads, each file opened
// once, shared for reading only (one that another process has open for writing fails the
// check), and read in ZB_VERIFY_READ_BYTES requests; the images go to `held` when not null,
// and stay there when the check passes. True when `check` was set and the copy is exactly the payload.
// Fatal: header error for a name that would leave the directory, an entry with a second
// string, or a table whose entries do not match the file digests recorded in `image`; memory error.
bool cache_verify_copy(const PayloadImage* image, const TableName* names,
                       const wchar_t* directory, bool check, HeldFiles* held = nullptr,
                       bool images_only = false);
