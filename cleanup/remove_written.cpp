#include "cleanup/remove_written.h"

#include <stdint.h>
#include <windows.h>

#include "base/limits.h"
#include "base/wide_text.h"
#include "cleanup/remove_tree.h"
#include "format/little_endian.h"
#include "format/name_path.h"
#include "format/payload_table.h"

// The directories from the removed one down to the current entry's, held as one path: level i
// (from 0) ends at ends[i]. The first `usable` levels were found to be real directories; a
// level beyond them was missing, a link or not a directory, and no name below it is used.
struct WrittenChain {
  wchar_t path[ZB_PATH_UNITS];
  uint32_t root_length;
  uint16_t ends[ZB_REMOVE_MAX_DEPTH];
  uint32_t depth;
  uint32_t usable;
};

static bool written_error_is_missing(void) {
  DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Units where level `level` of the chain starts (its backslash).
static uint32_t written_level_start(const WrittenChain* chain, uint32_t level) {
  return level == 0 ? chain->root_length : chain->ends[level - 1];
}

// Removes the chain's levels from the deepest down to `keep` levels. A usable level that
// will not go (not empty, or held) is listed and removed like cleanup_remove_tree; whatever
// stays is found again by the final listing.
static void written_leave_to(WrittenChain* chain, uint32_t keep) {
  while (chain->depth > keep) {
    uint32_t level = --chain->depth;
    if (level < chain->usable) {
      chain->path[chain->ends[level]] = L'\0';
      if (!RemoveDirectoryW(chain->path) && !written_error_is_missing()) {
        cleanup_remove_tree(chain->path);
      }
      chain->usable = level;
    }
  }
  chain->path[written_level_start(chain, chain->depth)] = L'\0';
}

// Appends the `units` name units at `name` (little-endian) as a new level and, when every
// level above is usable, looks at it once: a real directory becomes usable; a link, a
// junction or a file there is removed itself (never entered), a missing one is left. False,
// with nothing appended, when the level does not fit the path or the chain.
static bool written_enter(WrittenChain* chain, const unsigned char* name, uint32_t units) {
  uint32_t length = written_level_start(chain, chain->depth);
  if (chain->depth == ZB_REMOVE_MAX_DEPTH || length + 1 >= ZB_PATH_UNITS) return false;
  chain->path[length++] = L'\\';
  if (!name_append_path(chain->path, ZB_PATH_UNITS, &length, name, units)) {
    chain->path[length - 1] = L'\0';
    return false;
  }
  bool above_usable = chain->usable == chain->depth;
  chain->ends[chain->depth++] = (uint16_t)length;
  if (!above_usable) return true;
  DWORD attributes = GetFileAttributesW(chain->path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return true;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    chain->usable++;
  } else {
    cleanup_remove_tree(chain->path);
  }
  return true;
}

// True when `units` units at `name` (little-endian) equal the chain's level `level`.
static bool written_level_is(const WrittenChain* chain, uint32_t level, const unsigned char* name,
                             uint32_t units) {
  uint32_t start = written_level_start(chain, level) + 1;
  return name_equals_text(name, units, chain->path + start, chain->ends[level] - start);
}

// Deletes the entry `name` (`units` units) below the removed directory: its directories are
// made the chain first; the file goes by name when they all are usable (and `file` is true). A
// name that cannot be deleted plainly (read-only, replaced by a directory or a link) goes like
// cleanup_remove_tree.
static void written_remove_entry(WrittenChain* chain, const unsigned char* name, uint32_t units,
                                 bool file) {
  uint32_t at = 0;
  uint32_t level = 0;
  for (uint32_t i = 0; i < units; i++) {
    if (le_read_u16(name + 2 * (uint64_t)i) != L'\\') continue;
    if (level < chain->depth && written_level_is(chain, level, name + 2 * (uint64_t)at, i - at)) {
      level++;
    } else {
      written_leave_to(chain, level);
      // A name the walk could not have written is left to the final listing.
      if (!written_enter(chain, name + 2 * (uint64_t)at, i - at)) return;
      level = chain->depth;
    }
    at = i + 1;
  }
  written_leave_to(chain, level);
  if (!file || chain->usable != chain->depth) return;
  uint32_t length = written_level_start(chain, chain->depth);
  uint32_t file_length = length + 1;
  if (file_length >= ZB_PATH_UNITS) return;
  chain->path[length] = L'\\';
  if (!name_append_path(chain->path, ZB_PATH_UNITS, &file_length, name + 2 * (uint64_t)at,
                        units - at)) {
    chain->path[length] = L'\0';
    return;
  }
  if (!DeleteFileW(chain->path) && !written_error_is_missing()) cleanup_remove_tree(chain->path);
  chain->path[length] = L'\0';
}

bool cleanup_remove_written(const wchar_t* directory, PayloadTable table, uint32_t entries) {
  DWORD attributes = GetFileAttributesW(directory);
  if (table.bytes == nullptr || attributes == INVALID_FILE_ATTRIBUTES ||
      !(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return cleanup_remove_tree(directory);
  }
  // On the stack: the console handler's thread and the main thread may remove at once.
  WrittenChain chain;
  chain.path[0] = L'\0';
  chain.root_length = 0;
  chain.depth = 0;
  chain.usable = 0;
  if (!wide_append_text(chain.path, ZB_PATH_UNITS, &chain.root_length, directory)) return false;
  TableCursor cursor = table_cursor(table);
  const unsigned char* first = nullptr;
  uint32_t first_units = 0;
  for (uint32_t n = 0; n < entries; n++) {
    PayloadEntry entry;
    if (table_next(&cursor, &entry) != TABLE_ENTRY) break;
    written_remove_entry(&chain, entry.name, entry.name_units, /* file */ true);
    // Decision: the first entry (the main file) stands before the sorted rest, whose files in its
    // folder come later: its file goes first, its folders after the rest, each folder once, empty.
    if (n == 0) {
      first = entry.name;
      first_units = entry.name_units;
      chain.depth = 0;
      chain.usable = 0;
      chain.path[chain.root_length] = L'\0';
    }
  }
  written_leave_to(&chain, 0);
  if (first != nullptr) {
    written_remove_entry(&chain, first, first_units, /* file */ false);
    written_leave_to(&chain, 0);
  }
  if (RemoveDirectoryW(directory) || written_error_is_missing()) return true;
  return cleanup_remove_tree(directory);
}

bool cleanup_remove_written_retrying(const wchar_t* directory, PayloadTable table,
                                     uint32_t entries, uint32_t* calls) {
  for (*calls = 1;; ++*calls) {
    bool gone = *calls == 1 ? cleanup_remove_written(directory, table, entries)
                            : cleanup_remove_tree(directory);
    if (gone) return true;
    Sleep(ZB_REMOVE_PAUSE_MS);
    if (*calls == ZB_REMOVE_ATTEMPTS) return false;
  }
}
