#include "bootstrap/cache.h"

#include <wchar.h>
#include <windows.h>

#include "base/fatal.h"
#include "base/handle.h"
#include "base/limits.h"
#include "base/payload_format.h"
#include "base/wide_text.h"
#include "bootstrap/extract.h"
#include "bootstrap/payload_directory.h"
#include "bootstrap/payload_reader.h"
#include "cleanup/remove_tree.h"
#include "paths/env.h"
#include "paths/path_utils.h"
#include "paths/template.h"

static const wchar_t CACHE_FOLDER_TEMPLATE[] = L"{CACHE_DIR}";
static const wchar_t CACHE_SUFFIX_TEMPLATE[] = L"{PID}_{TIME_US}_{RANDOM}";
static const wchar_t CACHE_ROOT_NAME[] = L"zobrin-onefile";
static const wchar_t CACHE_LOCK_SUFFIX[] = L".lock";
static const wchar_t CACHE_ASIDE_SUFFIX[] = L".old";
// Units of the key's text: 16 hex digits.
static const uint32_t CACHE_KEY_DIGITS = 16;
// The lock is held exclusively only while a start removes a version: a start of that version
// waits up to this long for it, then goes on without it.
static const uint32_t CACHE_LOCK_TRIES = 100;
static const uint32_t CACHE_LOCK_PAUSE_MS = 50;


// Three texts joined into `buffer` (capacity ZB_PATH_UNITS), none of them inside it. False
// when they do not fit.
static bool cache_join(wchar_t* buffer, const wchar_t* first, const wchar_t* second,
                       const wchar_t* third) {
  buffer[0] = L'\0';
  uint32_t length = 0;
  return wide_append_text(buffer, ZB_PATH_UNITS, &length, first) &&
         wide_append_text(buffer, ZB_PATH_UNITS, &length, second) &&
         wide_append_text(buffer, ZB_PATH_UNITS, &length, third);
}

// Appends `text` to the NUL-terminated `buffer` (capacity ZB_PATH_UNITS). False when it does
// not fit.
static bool cache_append(wchar_t* buffer, const wchar_t* text) {
  uint32_t length = (uint32_t)wcslen(buffer);
  return wide_append_text(buffer, ZB_PATH_UNITS, &length, text);
}

// "<base>-<key>" from the module's own file name (the same in both roles, whatever argument
// 0 says) and the key in the section head. Fatal (abort): a name that does not fit.
static void cache_name_version(Cache* cache) {
  wchar_t module[ZB_PATH_UNITS];
  path_module_file_name(module, ZB_PATH_UNITS);
  wchar_t* name = wcsrchr(module, L'\\');
  name = name != nullptr ? name + 1 : module;
  size_t length = wcslen(name);
  if (length >= 4 && _wcsicmp(name + length - 4, L".exe") == 0) name[length - 4] = L'\0';
  cache->base_units = (uint32_t)wcslen(name);
  wchar_t key[CACHE_KEY_DIGITS + 2];
  key[0] = L'-';
  uint64_t value = payload_linked_key();
  for (uint32_t i = 0; i < CACHE_KEY_DIGITS; i++) {
    key[1 + i] = L"0123456789abcdef"[(value >> (60 - 4 * i)) & 15];
  }
  key[CACHE_KEY_DIGITS + 1] = L'\0';
  if (!cache_join(cache->version, name, key, L"")) fatal_bounds_abort();
}

void cache_compute_paths(Cache* cache) {
  if (!template_expand(cache->folder, CACHE_FOLDER_TEMPLATE, ZB_PATH_UNITS)) {
    fatal_expand_error(CACHE_FOLDER_TEMPLATE);
  }
  cache_name_version(cache);
  if (!cache_join(cache->root, cache->folder, L"\\", CACHE_ROOT_NAME) ||
      !cache_join(cache->directory, cache->root, L"\\", cache->version)) {
    fatal_bounds_abort();
  }
  wchar_t suffix[ZB_PATH_UNITS];
  if (!template_expand(suffix, CACHE_SUFFIX_TEMPLATE, ZB_PATH_UNITS)) {
    fatal_expand_error(CACHE_SUFFIX_TEMPLATE);
  }
  if (!cache_join(cache->sibling, cache->directory, L".", suffix)) {
    fatal_bounds_abort();
  }
}

// Creates `path` owner-only unless something is there already. Fatal: any other failure.
static void cache_make_root(const wchar_t* path) {
  unsigned long error = payload_directory_create(path);
  if (error != 0 && error != ERROR_ALREADY_EXISTS) fatal_create_directory_error(path, error);
}

// Opens "<version>.lock" in the root with `share`, with `disposition` (OPEN_ALWAYS creates it
// when missing); `remove` adds deletion when the handle closes. INVALID_HANDLE_VALUE with the
// last error on failure.
static HANDLE cache_open_lock(Cache* cache, const wchar_t* version, DWORD share, bool remove,
                              DWORD disposition = OPEN_ALWAYS) {
  if (!cache_join(cache->other, cache->root, L"\\", version) ||
      !cache_append(cache->other, CACHE_LOCK_SUFFIX)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return INVALID_HANDLE_VALUE;
  }
  return CreateFileW(cache->other, GENERIC_READ | (remove ? DELETE : 0), share,
                     /* lpSecurityAttributes */ nullptr, disposition,
                     FILE_ATTRIBUTE_NORMAL | (remove ? FILE_FLAG_DELETE_ON_CLOSE : 0),
                     /* hTemplateFile */ nullptr);
}

const wchar_t* cache_child_directory(Cache* cache) {
  // The child holds the lock too (shared, never creating it), so its copy counts as in use
  // even if its parent is gone. The handle stays open for the rest of the process.
  cache_open_lock(cache, cache->version, FILE_SHARE_READ, /* remove */ false, OPEN_EXISTING);
  return cache_run_directory(cache);
}

const wchar_t* cache_run_directory(const Cache* cache) {
  if (GetFileAttributesW(cache->sibling) != INVALID_FILE_ATTRIBUTES) return cache->sibling;
  return cache->directory;
}

// True when `name` is "<version>" followed by nothing (`rest` then points at the NUL) or by
// "." and more; *rest is set past the version. The comparison ignores case, as the system's.
static bool cache_name_of_version(const wchar_t* name, const wchar_t* version,
                                  const wchar_t** rest) {
  size_t units = wcslen(version);
  if (_wcsnicmp(name, version, units) != 0) return false;
  *rest = name + units;
  return **rest == L'\0' || **rest == L'.';
}

// Removes the leftovers "<version>.<anything>" in the root (siblings of killed runs, copies
// moved aside), but not the lock. The caller holds the version's lock exclusively.
static void cache_remove_leftovers(Cache* cache, const wchar_t* version) {
  if (!cache_join(cache->path, cache->root, L"\\", version) ||
      !cache_append(cache->path, L".*")) {
    return;
  }
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(cache->path, &found);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const wchar_t* rest = nullptr;
    // "name.*" also matches "name" itself: that is the cache directory, not a leftover.
    if (!cache_name_of_version(found.cFileName, version, &rest) || *rest == L'\0' ||
        _wcsicmp(rest, CACHE_LOCK_SUFFIX) == 0) {
      continue;
    }
    if (cache_join(cache->path, cache->root, L"\\", found.cFileName)) {
      cleanup_remove_tree(cache->path);
    }
  } while (FindNextFileW(find, &found));
  FindClose(find);
}

// Takes this version's lock, shared, for the rest of the process (the handle is never
// closed; the system closes it at exit). When no other run holds it, leftovers of killed
// runs are removed first. A lock that cannot be had is waited for while another start holds
// it exclusively, then given up: the run goes on without it.
static void cache_take_lock(Cache* cache) {
  HandleOwner exclusive(
      cache_open_lock(cache, cache->version, /* dwShareMode */ 0, /* remove */ false));
  if (exclusive) {
    cache_remove_leftovers(cache, cache->version);
    exclusive.reset();
  }
  for (uint32_t attempt = 0; attempt < CACHE_LOCK_TRIES; attempt++) {
    HANDLE lock = cache_open_lock(cache, cache->version, FILE_SHARE_READ, /* remove */ false);
    if (lock != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION) return;
    Sleep(CACHE_LOCK_PAUSE_MS);
  }
}

// Decision: the table walk checks presence and size only, no content: a warm start must
// cost no more than the names. A file changed in place with its size kept is not noticed
// (the cache directory is the user's own, open to nobody else).
static bool cache_tree_whole(Cache* cache, PayloadReader* reader) {
  DWORD attributes = GetFileAttributesW(cache->directory);
  cache->directory_existed = attributes != INVALID_FILE_ATTRIBUTES;
  bool whole = cache->directory_existed && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
               !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
  extract_check_names(reader);
  if (!payload_table_empty(reader)) {
    for (;;) {
      PayloadEntry entry;
      payload_next_entry(reader, &entry);
      if (!extract_name_stays_inside(entry.name, entry.name_units)) fatal_exit(FATAL_MSG_HEADER);
      if (entry.flags & ZB_ENTRY_FLAG_SECOND_STRING) fatal_exit(FATAL_MSG_HEADER);
      // Every name is still checked once the answer is known: a bad table fails the same
      // way warm or cold.
      if (whole) {
        extract_build_target(cache->path, cache->directory, entry.name, entry.name_units);
        WIN32_FILE_ATTRIBUTE_DATA data;
        whole = GetFileAttributesExW(cache->path, GetFileExInfoStandard, &data) &&
                !(data.dwFileAttributes &
                  (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
                (((uint64_t)data.nFileSizeHigh << 32) | data.nFileSizeLow) == entry.size;
      }
      if (entry.flags & ZB_ENTRY_FLAG_LAST) break;
    }
  }
  payload_restart_table(reader);
  return whole;
}

bool cache_prepare(Cache* cache, PayloadReader* reader) {
  cache_make_root(cache->folder);
  cache_make_root(cache->root);
  cache_take_lock(cache);
  return cache_tree_whole(cache, reader);
}

static void cache_redraw_sibling(void* cache) {
  cache_compute_paths(static_cast<Cache*>(cache));
}

void cache_create_sibling(Cache* cache) {
  payload_directory_create_new(cache->sibling, cache_redraw_sibling, cache);
}

// Removes the sibling after another run's copy won; it must be gone, or the child would take
// it. Fatal: the unpack error when it stays.
static void cache_drop_sibling(Cache* cache) {
  uint32_t calls = 0;
  if (cleanup_remove_tree_retrying(cache->sibling, &calls)) return;
  fatal_exit_code("Error, couldn't unpack file to target path.", ERROR_DIR_NOT_EMPTY);
}

bool cache_move_into_place(Cache* cache, bool* aside) {
  *aside = false;
  if (cache->directory_existed) {
    if (!cache_join(cache->other, cache->sibling, CACHE_ASIDE_SUFFIX, L"")) {
      fatal_bounds_abort();
    }
    // A damaged copy that is in use cannot be renamed: this run keeps its fresh sibling.
    if (!MoveFileExW(cache->directory, cache->other, /* dwFlags */ 0)) return false;
    *aside = true;
  }
  if (MoveFileExW(cache->sibling, cache->directory, /* dwFlags */ 0)) return true;
  // Another start's copy took the place first; it was complete before its rename.
  if (GetFileAttributesW(cache->directory) != INVALID_FILE_ATTRIBUTES) {
    cache_drop_sibling(cache);
    return true;
  }
  return false;
}

void cache_remove_aside(Cache* cache) {
  cleanup_remove_tree(cache->other);
}

// For "<base>-<16 hex digits>" (case ignored) other than this run's version, true.
static bool cache_other_version(const Cache* cache, const wchar_t* name) {
  if (_wcsnicmp(name, cache->version, cache->base_units + 1) != 0) return false;
  const wchar_t* key = name + cache->base_units + 1;
  for (uint32_t i = 0; i < CACHE_KEY_DIGITS; i++) {
    if (!iswxdigit(key[i])) return false;
  }
  if (key[CACHE_KEY_DIGITS] != L'\0' && key[CACHE_KEY_DIGITS] != L'.') return false;
  return _wcsnicmp(name, cache->version, cache->base_units + 1 + CACHE_KEY_DIGITS) != 0;
}

void cache_tidy(Cache* cache) {
  wchar_t version[ZB_PATH_UNITS];
  if (!cache_join(cache->path, cache->root, L"\\", cache->version)) return;
  cache->path[wcslen(cache->root) + 1 + cache->base_units + 1] = L'*';
  cache->path[wcslen(cache->root) + 1 + cache->base_units + 2] = L'\0';
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(cache->path, &found);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    if (!cache_other_version(cache, found.cFileName)) continue;
    uint32_t length = 0;
    version[0] = L'\0';
    if (!wide_append_text(version, ZB_PATH_UNITS, &length, found.cFileName)) continue;
    version[cache->base_units + 1 + CACHE_KEY_DIGITS] = L'\0';
    // Exclusive: no running parent of that version holds it. Deleted when closed.
    HandleOwner lock(cache_open_lock(cache, version, /* dwShareMode */ 0, /* remove */ true));
    if (!lock) continue;
    if (cache_join(cache->other, cache->root, L"\\", version)) cleanup_remove_tree(cache->other);
    cache_remove_leftovers(cache, version);
  } while (FindNextFileW(find, &found));
  FindClose(find);
}
