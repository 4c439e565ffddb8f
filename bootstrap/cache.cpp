#include "bootstrap/cache.h"

#include <wchar.h>
#include <windows.h>

#include "base/fatal.h"
#include "base/limits.h"
#include "base/payload_format.h"
#include "base/run_state.h"
#include "base/wide_text.h"
#include "bootstrap/extract.h"
#include "bootstrap/payload_directory.h"
#include "bootstrap/payload_reader.h"
#include "cleanup/gate.h"
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

static bool cache_active = false;
// The shell folder ({CACHE_DIR}), then "\zobrin-onefile".
static wchar_t cache_folder[ZB_PATH_UNITS];
static wchar_t cache_root[ZB_PATH_UNITS];
// The executable's file name without ".exe", and "<base>-<key>".
static wchar_t cache_version[ZB_PATH_UNITS];
static uint32_t cache_base_units = 0;
// The cache directory, and the scratch paths built from it.
static wchar_t cache_directory[ZB_PATH_UNITS];
static wchar_t cache_path[ZB_PATH_UNITS];
static wchar_t cache_other[ZB_PATH_UNITS];
static bool cache_directory_existed = false;

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
static void cache_name_version(void) {
  wchar_t module[ZB_PATH_UNITS];
  path_module_file_name(module, ZB_PATH_UNITS);
  wchar_t* name = wcsrchr(module, L'\\');
  name = name != nullptr ? name + 1 : module;
  size_t length = wcslen(name);
  if (length >= 4 && _wcsicmp(name + length - 4, L".exe") == 0) name[length - 4] = L'\0';
  cache_base_units = (uint32_t)wcslen(name);
  wchar_t key[CACHE_KEY_DIGITS + 2];
  key[0] = L'-';
  uint64_t value = payload_linked_key();
  for (uint32_t i = 0; i < CACHE_KEY_DIGITS; i++) {
    key[1 + i] = L"0123456789abcdef"[(value >> (60 - 4 * i)) & 15];
  }
  key[CACHE_KEY_DIGITS + 1] = L'\0';
  if (!cache_join(cache_version, name, key, L"")) fatal_bounds_abort();
}

void cache_compute_paths(void) {
  cache_active = true;
  if (!template_expand(cache_folder, CACHE_FOLDER_TEMPLATE, ZB_PATH_UNITS)) {
    fatal_expand_error(CACHE_FOLDER_TEMPLATE);
  }
  cache_name_version();
  if (!cache_join(cache_root, cache_folder, L"\\", CACHE_ROOT_NAME) ||
      !cache_join(cache_directory, cache_root, L"\\", cache_version)) {
    fatal_bounds_abort();
  }
  wchar_t suffix[ZB_PATH_UNITS];
  if (!template_expand(suffix, CACHE_SUFFIX_TEMPLATE, ZB_PATH_UNITS)) {
    fatal_expand_error(CACHE_SUFFIX_TEMPLATE);
  }
  if (!cache_join(run_state.payload_directory, cache_directory, L".", suffix)) {
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
static HANDLE cache_open_lock(const wchar_t* version, DWORD share, bool remove,
                              DWORD disposition = OPEN_ALWAYS) {
  if (!cache_join(cache_other, cache_root, L"\\", version) ||
      !cache_append(cache_other, CACHE_LOCK_SUFFIX)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return INVALID_HANDLE_VALUE;
  }
  return CreateFileW(cache_other, GENERIC_READ | (remove ? DELETE : 0), share,
                     /* lpSecurityAttributes */ nullptr, disposition,
                     FILE_ATTRIBUTE_NORMAL | (remove ? FILE_FLAG_DELETE_ON_CLOSE : 0),
                     /* hTemplateFile */ nullptr);
}

void cache_choose_child_directory(void) {
  // The child holds the lock too (shared, never creating it), so its copy counts as in use
  // even if its parent is gone. The handle stays open for the rest of the process.
  cache_open_lock(cache_version, FILE_SHARE_READ, /* remove */ false, OPEN_EXISTING);
  if (GetFileAttributesW(run_state.payload_directory) != INVALID_FILE_ATTRIBUTES) return;
  uint32_t length = 0;
  run_state.payload_directory[0] = L'\0';
  if (!wide_append_text(run_state.payload_directory, ZB_PATH_UNITS, &length, cache_directory)) {
    fatal_bounds_abort();
  }
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
static void cache_remove_leftovers(const wchar_t* version) {
  if (!cache_join(cache_path, cache_root, L"\\", version) || !cache_append(cache_path, L".*")) {
    return;
  }
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(cache_path, &found);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const wchar_t* rest = nullptr;
    // "name.*" also matches "name" itself: that is the cache directory, not a leftover.
    if (!cache_name_of_version(found.cFileName, version, &rest) || *rest == L'\0' ||
        _wcsicmp(rest, CACHE_LOCK_SUFFIX) == 0) {
      continue;
    }
    if (cache_join(cache_path, cache_root, L"\\", found.cFileName)) {
      cleanup_remove_tree(cache_path);
    }
  } while (FindNextFileW(find, &found));
  FindClose(find);
}

// Takes this version's lock, shared, for the rest of the process (the handle is never
// closed; the system closes it at exit). When no other run holds it, leftovers of killed
// runs are removed first. A lock that cannot be had is waited for while another start holds
// it exclusively, then given up: the run goes on without it.
static void cache_take_lock(void) {
  HANDLE lock = cache_open_lock(cache_version, /* dwShareMode */ 0, /* remove */ false);
  if (lock != INVALID_HANDLE_VALUE) {
    cache_remove_leftovers(cache_version);
    CloseHandle(lock);
  }
  for (uint32_t attempt = 0; attempt < CACHE_LOCK_TRIES; attempt++) {
    lock = cache_open_lock(cache_version, FILE_SHARE_READ, /* remove */ false);
    if (lock != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION) return;
    Sleep(CACHE_LOCK_PAUSE_MS);
  }
}

// Decision: the table walk checks presence and size only, no content: a warm start must
// cost no more than the names. A file changed in place with its size kept is not noticed
// (the cache directory is the user's own, open to nobody else).
static bool cache_tree_whole(void) {
  DWORD attributes = GetFileAttributesW(cache_directory);
  cache_directory_existed = attributes != INVALID_FILE_ATTRIBUTES;
  bool whole = cache_directory_existed && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
               !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
  extract_check_names();
  if (!payload_table_empty()) {
    for (;;) {
      PayloadEntry entry;
      payload_next_entry(&entry);
      if (!extract_name_stays_inside(entry.name, entry.name_units)) fatal_exit(FATAL_MSG_HEADER);
      if (entry.flags & ZB_ENTRY_FLAG_SECOND_STRING) fatal_exit(FATAL_MSG_HEADER);
      // Every name is still checked once the answer is known: a bad table fails the same
      // way warm or cold.
      if (whole) {
        extract_build_target(cache_path, cache_directory, entry.name, entry.name_units);
        WIN32_FILE_ATTRIBUTE_DATA data;
        whole = GetFileAttributesExW(cache_path, GetFileExInfoStandard, &data) &&
                !(data.dwFileAttributes &
                  (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
                (((uint64_t)data.nFileSizeHigh << 32) | data.nFileSizeLow) == entry.size;
      }
      if (entry.flags & ZB_ENTRY_FLAG_LAST) break;
    }
  }
  payload_restart_table();
  return whole;
}

bool cache_prepare(void) {
  cache_make_root(cache_folder);
  cache_make_root(cache_root);
  cache_take_lock();
  return cache_tree_whole();
}

void cache_create_sibling(void) {
  for (uint32_t attempt = 1;; attempt++) {
    unsigned long error = payload_directory_create(run_state.payload_directory);
    if (error == 0) return;
    if (error != ERROR_ALREADY_EXISTS || attempt == ZB_PAYLOAD_DIRECTORY_TRIES) {
      fatal_create_directory_error(run_state.payload_directory, error);
    }
    env_unset(ENV_RANDOM);
    cache_compute_paths();
  }
}

// Removes the sibling after another run's copy won; it must be gone, or the child would take
// it. Fatal: the unpack error when it stays.
static void cache_drop_sibling(void) {
  for (uint32_t attempt = 0; attempt < ZB_REMOVE_ATTEMPTS; attempt++) {
    if (cleanup_remove_tree(run_state.payload_directory)) {
      run_state.remove_directory = false;
      return;
    }
    Sleep(ZB_REMOVE_PAUSE_MS);
  }
  fatal_exit_code("Error, couldn't unpack file to target path.", ERROR_DIR_NOT_EMPTY);
}

// Moves the sibling into place, the damaged copy first aside (into cache_other); true when it
// was moved aside. Fatal: as cache_install.
static bool cache_move_into_place(void) {
  if (cache_directory_existed) {
    if (!cache_join(cache_other, run_state.payload_directory, CACHE_ASIDE_SUFFIX, L"")) {
      fatal_bounds_abort();
    }
    // A damaged copy that is in use cannot be renamed: this run keeps its fresh sibling.
    if (!MoveFileExW(cache_directory, cache_other, /* dwFlags */ 0)) return false;
  }
  if (MoveFileExW(run_state.payload_directory, cache_directory, /* dwFlags */ 0)) {
    // In place: from here on nothing removes it (shutdown looks at this flag first).
    run_state.remove_directory = false;
  } else if (GetFileAttributesW(cache_directory) != INVALID_FILE_ATTRIBUTES) {
    // Another start's copy took the place first; it was complete before its rename.
    cache_drop_sibling();
  }
  return cache_directory_existed;
}

void cache_install(void) {
  // The moves pass the gate: an interrupt before them removes the sibling and the move never
  // happens; one after them finds the removal flag as they left it.
  cleanup_gate_enter();
  bool aside = cache_move_into_place();
  cleanup_gate_leave();
  // The damaged copy, unless still in use: then a later start removes it.
  if (aside) cleanup_remove_tree(cache_other);
}

// For "<base>-<16 hex digits>" (case ignored) other than this run's version, true.
static bool cache_other_version(const wchar_t* name) {
  if (_wcsnicmp(name, cache_version, cache_base_units + 1) != 0) return false;
  const wchar_t* key = name + cache_base_units + 1;
  for (uint32_t i = 0; i < CACHE_KEY_DIGITS; i++) {
    if (!iswxdigit(key[i])) return false;
  }
  if (key[CACHE_KEY_DIGITS] != L'\0' && key[CACHE_KEY_DIGITS] != L'.') return false;
  return _wcsnicmp(name, cache_version, cache_base_units + 1 + CACHE_KEY_DIGITS) != 0;
}

void cache_tidy(void) {
  if (!cache_active) return;
  wchar_t version[ZB_PATH_UNITS];
  if (!cache_join(cache_path, cache_root, L"\\", cache_version)) return;
  cache_path[wcslen(cache_root) + 1 + cache_base_units + 1] = L'*';
  cache_path[wcslen(cache_root) + 1 + cache_base_units + 2] = L'\0';
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(cache_path, &found);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    if (!cache_other_version(found.cFileName)) continue;
    uint32_t length = 0;
    version[0] = L'\0';
    if (!wide_append_text(version, ZB_PATH_UNITS, &length, found.cFileName)) continue;
    version[cache_base_units + 1 + CACHE_KEY_DIGITS] = L'\0';
    // Exclusive: no running parent of that version holds it. Deleted when closed.
    HANDLE lock = cache_open_lock(version, /* dwShareMode */ 0, /* remove */ true);
    if (lock == INVALID_HANDLE_VALUE) continue;
    if (cache_join(cache_other, cache_root, L"\\", version)) cleanup_remove_tree(cache_other);
    cache_remove_leftovers(version);
    CloseHandle(lock);
  } while (FindNextFileW(find, &found));
  FindClose(find);
}
