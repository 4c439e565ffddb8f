#include "cleanup/remove_tree.h"

#include <stdint.h>
#include <windows.h>

#include "base/limits.h"
#include "base/wide_text.h"

enum CleanupOutcome { CLEANUP_GONE, CLEANUP_STAYS, CLEANUP_ENTER };

// Deletes the plain file `path`. One that is read-only loses that attribute and is tried
// once more (the application may have made its files read-only).
static bool cleanup_delete_file(const wchar_t* path, DWORD attributes) {
  if (DeleteFileW(path)) return true;
  if (!(attributes & FILE_ATTRIBUTE_READONLY)) return false;
  DWORD writable = attributes & ~(DWORD)FILE_ATTRIBUTE_READONLY;
  if (!SetFileAttributesW(path, writable != 0 ? writable : FILE_ATTRIBUTE_NORMAL)) return false;
  return DeleteFileW(path) != FALSE;
}

// True when the last error says the path is not there.
static bool cleanup_error_is_missing(void) {
  DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Deals with `path`, whose `attributes` are known, unless it is a real directory, which the
// caller has to enter. An entry gone by the time it is deleted counts as removed.
static CleanupOutcome cleanup_remove_known(const wchar_t* path, DWORD attributes) {
  bool removed;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(path) != FALSE
                                                      : DeleteFileW(path) != FALSE;
  } else if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    removed = cleanup_delete_file(path, attributes);
  } else {
    return CLEANUP_ENTER;
  }
  if (removed || cleanup_error_is_missing()) return CLEANUP_GONE;
  return CLEANUP_STAYS;
}

// Deals with `path` unless it is a real directory, which the caller has to enter.
static CleanupOutcome cleanup_remove_entry(const wchar_t* path) {
  DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    // Only a path that is not there is done; one that cannot be queried may still exist.
    return cleanup_error_is_missing() ? CLEANUP_GONE : CLEANUP_STAYS;
  }
  return cleanup_remove_known(path, attributes);
}

// Starts listing the directory whose `length`-unit path is in `buffer` (capacity
// ZB_PATH_UNITS). The pattern "path\*" is built in place and cut back again. INVALID_HANDLE_VALUE
// when the pattern would not fit or the listing fails; otherwise `found` holds the first entry.
static HANDLE cleanup_open_listing(wchar_t* buffer, uint32_t length, WIN32_FIND_DATAW* found) {
  uint32_t at = length;
  if (!wide_append_text(buffer, ZB_PATH_UNITS, &at, L"\\*")) {
    buffer[length] = L'\0';
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return INVALID_HANDLE_VALUE;
  }
  // Decision: the basic information level (no short names) and large fetches: the listing
  // also hands over every entry's attributes, so no entry is queried on its own.
  HANDLE find = FindFirstFileExW(buffer, FindExInfoBasic, found, FindExSearchNameMatch,
                                 /* lpSearchFilter */ nullptr, FIND_FIRST_EX_LARGE_FETCH);
  buffer[length] = L'\0';
  return find;
}

static bool cleanup_is_dot_name(const wchar_t* name) {
  return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

bool cleanup_remove_tree(const wchar_t* path) {
  // One path buffer serves the whole walk: each level appends "\name" and cuts it off again.
  // Per level only the open listing and the level's result are kept, so nesting to the path
  // limit needs a few KiB of stack instead of two path buffers per level.
  wchar_t buffer[ZB_PATH_UNITS];
  buffer[0] = L'\0';
  uint32_t length = 0;
  if (!wide_append_text(buffer, ZB_PATH_UNITS, &length, path)) return false;

  CleanupOutcome outcome = cleanup_remove_entry(buffer);
  if (outcome != CLEANUP_ENTER) return outcome == CLEANUP_GONE;

  HANDLE listings[ZB_REMOVE_MAX_DEPTH];
  bool level_ok[ZB_REMOVE_MAX_DEPTH];
  WIN32_FIND_DATAW found;
  uint32_t depth = 0;
  listings[0] = cleanup_open_listing(buffer, length, &found);
  if (listings[0] == INVALID_HANDLE_VALUE) return false;
  level_ok[0] = true;
  bool have_entry = true;

  for (;;) {
    if (!have_entry && !FindNextFileW(listings[depth], &found)) {
      // The directory in the buffer has been walked: remove it even after failures below it
      // (the call then fails because it is not empty).
      FindClose(listings[depth]);
      bool removed = RemoveDirectoryW(buffer) && level_ok[depth];
      if (depth == 0) return removed;
      // Names hold no backslash, so the last one ends the parent's path.
      while (buffer[length] != L'\\') length--;
      buffer[length] = L'\0';
      depth--;
      if (!removed) level_ok[depth] = false;
      continue;
    }
    have_entry = false;
    const wchar_t* name = found.cFileName;
    if (cleanup_is_dot_name(name)) continue;

    uint32_t child_length = length;
    if (!wide_append_units(buffer, ZB_PATH_UNITS, &child_length, L'\\', 1) ||
        !wide_append_text(buffer, ZB_PATH_UNITS, &child_length, name)) {
      buffer[length] = L'\0';
      level_ok[depth] = false;
      continue;
    }

    outcome = cleanup_remove_known(buffer, found.dwFileAttributes);
    if (outcome == CLEANUP_ENTER) {
      HANDLE listing = depth + 1 < ZB_REMOVE_MAX_DEPTH
                           ? cleanup_open_listing(buffer, child_length, &found)
                           : INVALID_HANDLE_VALUE;
      // A directory that went away after it was listed is done.
      if (listing == INVALID_HANDLE_VALUE && depth + 1 < ZB_REMOVE_MAX_DEPTH &&
          cleanup_error_is_missing()) {
        buffer[length] = L'\0';
        continue;
      }
      if (listing != INVALID_HANDLE_VALUE) {
        depth++;
        listings[depth] = listing;
        level_ok[depth] = true;
        length = child_length;
        have_entry = true;
        continue;
      }
      outcome = CLEANUP_STAYS;
    }
    if (outcome == CLEANUP_STAYS) level_ok[depth] = false;
    buffer[length] = L'\0';
  }
}

bool cleanup_remove_tree_retrying(const wchar_t* path, uint32_t* calls) {
  for (*calls = 1;; ++*calls) {
    if (cleanup_remove_tree(path)) return true;
    Sleep(ZB_REMOVE_PAUSE_MS);
    if (*calls == ZB_REMOVE_ATTEMPTS) return false;
  }
}
