// Removal of a path and everything below it, without following links.
#pragma once

#include <stdint.h>

// Removes `path` (NUL-terminated; only its first ZB_PATH_UNITS units are read): a file is
// deleted, a link or junction is removed itself and never entered, a directory is emptied
// bottom-up and then removed. Every entry is tried even after a failure; a read-only file
// that cannot be deleted loses that attribute and is tried once more; no heap is used and the stack used does not grow with the depth of the tree.
// True when the path is gone or was never there. False when anything stays: an entry that
// cannot be deleted or removed, a directory that cannot be listed (it is then left alone
// with its contents), a path that exists but cannot be queried, and a path, search pattern
// ("path\*") or child path longer than ZB_PATH_UNITS - 1 units (left untouched). Never fatal.
bool cleanup_remove_tree(const wchar_t* path);

// cleanup_remove_tree for `path` up to ZB_REMOVE_ATTEMPTS times, each failed call followed by
// a ZB_REMOVE_PAUSE_MS pause (the last one too). True once a call answered true; *calls is the
// number of calls made. Never fatal.
bool cleanup_remove_tree_retrying(const wchar_t* path, uint32_t* calls);
