#include "extract/cache.h"

#include <string.h>
#include <wchar.h>
#include <windows.h>

#include "base/fatal.h"
#include "base/handle.h"
#include "base/limits.h"
#include "base/wide_text.h"
#include "cleanup/remove_tree.h"
#include "cleanup/sweep.h"
#include "extract/cache_verify.h"
#include "extract/payload_directory.h"
#include "extract/place_folder.h"
#include "extract/table_names.h"
#include "format/little_endian.h"
#include "format/payload_format.h"
#include "paths/env.h"
#include "paths/path_utils.h"
#include "paths/template.h"

static const wchar_t CACHE_FOLDER_TEMPLATE[] = L"{CACHE_DIR}";
static const wchar_t CACHE_SUFFIX_TEMPLATE[] = L"{PID}_{TIME_US}_{RANDOM}";
static const wchar_t CACHE_ROOT_NAME[] = L"zobrin-onefile";
static const wchar_t CACHE_LOCK_SUFFIX[] = L".lock";
static const wchar_t CACHE_ASIDE_SUFFIX[] = L".old";
// Units of the key's text: 16 hex digits; of the application's place: 8.
static const uint32_t CACHE_KEY_DIGITS = 16;
static const uint32_t CACHE_PLACE_DIGITS = 8;
// The lock is held exclusively only while a start removes a version: a start of that version
// waits up to this long for it, then goes on without it.
static const uint32_t CACHE_LOCK_TRIES = 100;
static const uint32_t CACHE_LOCK_PAUSE_MS = 50;
// Every run of a version holds its lock with this sharing: parents read and write the mark,
// children read; an exclusive open fails while any of them runs.
static const DWORD CACHE_LOCK_SHARE = FILE_SHARE_READ | FILE_SHARE_WRITE;
// The mark of a finished extraction in the lock: volume serial (4), 0 (4), file index (8).
static const uint32_t CACHE_MARK_BYTES = 16;
// Decision: a version whose lock no start has dated for 30 days is removed by any start of any
// application. A copy takes as much disk as its application; a tool used once a month still
// starts warm, and one unused for longer pays one ordinary extraction when it is next used.
static const uint64_t CACHE_UNUSED_LIMIT_100NS = 30ull * 24 * 3600 * 10000000;


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

// Appends "-" and the low `digits` hex digits of `value` to `buffer` (capacity
// ZB_PATH_UNITS). False when they do not fit.
static bool cache_append_hex(wchar_t* buffer, uint64_t value, uint32_t digits) {
  wchar_t text[CACHE_KEY_DIGITS + 2];
  text[0] = L'-';
  for (uint32_t i = 0; i < digits; i++) {
    text[1 + i] = L"0123456789abcdef"[(value >> (4 * (digits - 1 - i))) & 15];
  }
  text[digits + 1] = L'\0';
  return cache_append(buffer, text);
}

// "<base>-<place>-<key>" from the module's own path (the same in both roles, whatever argument
// 0 says) and the key in the section head: <base> is its file name without ".exe", <place> the
// low 32 bits of FNV-1a 64 over the upper-cased path, so that two applications of one name in
// two folders keep a copy each. Fatal (abort): a name that does not fit.
static void cache_name_version(Cache* cache) {
  wchar_t module[ZB_PATH_UNITS];
  path_module_file_name(module, ZB_PATH_UNITS);
  wchar_t folded[ZB_PATH_UNITS];
  int units = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, module, -1, folded,
                            ZB_PATH_UNITS, /* lpVersionInformation */ nullptr,
                            /* lpReserved */ nullptr, /* sortHandle */ 0);
  if (units <= 0 || units > (int)ZB_PATH_UNITS) fatal_bounds_abort();
  uint64_t place = payload_digest_update(
      ZB_DIGEST_START, reinterpret_cast<const unsigned char*>(folded),
      (uint64_t)(units - 1) * sizeof(wchar_t));
  wchar_t* name = wcsrchr(module, L'\\');
  name = name != nullptr ? name + 1 : module;
  size_t length = wcslen(name);
  if (length >= 4 && _wcsicmp(name + length - 4, L".exe") == 0) name[length - 4] = L'\0';
  if (!cache_join(cache->version, name, L"", L"") ||
      !cache_append_hex(cache->version, place, CACHE_PLACE_DIGITS)) {
    fatal_bounds_abort();
  }
  cache->base_units = (uint32_t)wcslen(cache->version);
  if (!cache_append_hex(cache->version, cache->key, CACHE_KEY_DIGITS)) {
    fatal_bounds_abort();
  }
}

void cache_compute_paths(Cache* cache, uint64_t key, TemplateSeed seed) {
  cache->key = key;
  if (cache->chosen_root != nullptr) {
    if (!cache_join(cache->folder, cache->chosen_root, L"", L"")) fatal_bounds_abort();
  } else if (!template_expand(cache->folder, CACHE_FOLDER_TEMPLATE, ZB_PATH_UNITS)) {
    fatal_expand_error(CACHE_FOLDER_TEMPLATE);
  }
  cache_name_version(cache);
  // A chosen folder holds the copies in a folder of the launcher's own too: only that one is
  // ever tidied, never a user's files beside it.
  if (!cache_join(cache->root, cache->folder, L"\\", CACHE_ROOT_NAME) ||
      !cache_join(cache->directory, cache->root, L"\\", cache->version)) {
    fatal_place_too_long(cache->folder);
  }
  wchar_t suffix[ZB_PATH_UNITS];
  if (!template_expand_seeded(suffix, CACHE_SUFFIX_TEMPLATE, ZB_PATH_UNITS, seed)) {
    fatal_expand_error(CACHE_SUFFIX_TEMPLATE);
  }
  // The longest path the run makes is a damaged copy's, moved aside: "<sibling>.old".
  if (!cache_join(cache->sibling, cache->directory, L".", suffix) ||
      !cache_join(cache->other, cache->sibling, CACHE_ASIDE_SUFFIX, L"")) {
    fatal_place_too_long(cache->folder);
  }
}

// Creates `path` owner-only unless something is there already. Fatal: any other failure.
static void cache_make_root(const wchar_t* path) {
  // The usual case, a root that is there: one call, no descriptor built.
  if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) return;
  unsigned long error = payload_directory_create(path);
  if (error != 0 && error != ERROR_ALREADY_EXISTS) fatal_create_directory_error(path, error);
}

// Opens "<version>.lock" in the root with `share`, with `disposition` (OPEN_ALWAYS creates it
// when missing); `access` adds to read access, `remove` adds deletion when the handle closes.
// INVALID_HANDLE_VALUE with the last error on failure.
static HANDLE cache_open_lock(Cache* cache, const wchar_t* version, DWORD share, bool remove,
                              DWORD disposition = OPEN_ALWAYS, DWORD access = 0) {
  if (!cache_join(cache->other, cache->root, L"\\", version) ||
      !cache_append(cache->other, CACHE_LOCK_SUFFIX)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return INVALID_HANDLE_VALUE;
  }
  return CreateFileW(cache->other, GENERIC_READ | access | (remove ? DELETE : 0), share,
                     /* lpSecurityAttributes */ nullptr, disposition,
                     FILE_ATTRIBUTE_NORMAL | (remove ? FILE_FLAG_DELETE_ON_CLOSE : 0),
                     /* hTemplateFile */ nullptr);
}

const wchar_t* cache_child_directory(Cache* cache) {
  // The child holds the lock too (shared, never creating it), so its copy counts as in use
  // even if its parent is gone. The handle stays open for the rest of the process.
  cache_open_lock(cache, cache->version, CACHE_LOCK_SHARE, /* remove */ false, OPEN_EXISTING);
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
// closed; the system closes it at exit), and dates it now: the age of a lock tells how long no
// start has used its version. When no other run holds it, leftovers of killed runs are removed
// first. A lock that cannot be had is waited for while another start holds it exclusively,
// then given up: the run goes on without it (and so never takes the copy as it stands).
static void cache_take_lock(Cache* cache) {
  HandleOwner exclusive(
      cache_open_lock(cache, cache->version, /* dwShareMode */ 0, /* remove */ false));
  if (exclusive) {
    cache_remove_leftovers(cache, cache->version);
    exclusive.reset();
  }
  for (uint32_t attempt = 0; attempt < CACHE_LOCK_TRIES; attempt++) {
    HANDLE lock = cache_open_lock(cache, cache->version, CACHE_LOCK_SHARE, /* remove */ false,
                                  OPEN_ALWAYS, GENERIC_WRITE);
    if (lock != INVALID_HANDLE_VALUE) {
      cache->lock = lock;
      FILETIME now;
      GetSystemTimeAsFileTime(&now);
      SetFileTime(lock, /* lpCreationTime */ nullptr, /* lpLastAccessTime */ nullptr, &now);
      return;
    }
    if (GetLastError() != ERROR_SHARING_VIOLATION) return;
    Sleep(CACHE_LOCK_PAUSE_MS);
  }
}

// The mark of a finished extraction, kept in the version's lock: the identity of the directory
// this user's launcher moved into place (volume serial number, then file index). Filled from
// the directory opened as `directory`; false when it cannot be read.
static bool cache_mark_of(HANDLE directory, unsigned char* mark) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(directory, &info)) return false;
  le_write_u32(mark, info.dwVolumeSerialNumber);
  le_write_u32(mark + 4, 0);
  le_write_u32(mark + 8, info.nFileIndexLow);
  le_write_u32(mark + 12, info.nFileIndexHigh);
  return true;
}

// Opens the cache directory itself (not what a link leads to), for its attributes, owner and
// identity. INVALID_HANDLE_VALUE when it cannot be opened.
static HANDLE cache_open_directory(const Cache* cache) {
  return CreateFileW(cache->directory, READ_CONTROL,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     /* lpSecurityAttributes */ nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                     /* hTemplateFile */ nullptr);
}

// True when the cache directory is one this user's launcher finished: a real directory, owned
// by this process's user, whose identity the lock holds as its mark.
static bool cache_directory_ours(const Cache* cache) {
  HandleOwner directory(cache_open_directory(cache));
  BY_HANDLE_FILE_INFORMATION info;
  if (!directory || cache->lock == nullptr ||
      !GetFileInformationByHandle(directory.get(), &info) ||
      !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return false;
  }
  unsigned char expected[CACHE_MARK_BYTES];
  unsigned char recorded[CACHE_MARK_BYTES];
  OVERLAPPED at = {};
  DWORD got = 0;
  return cache_mark_of(directory.get(), expected) &&
         ReadFile(cache->lock, recorded, CACHE_MARK_BYTES, &got, &at) &&
         got == CACHE_MARK_BYTES && memcmp(expected, recorded, CACHE_MARK_BYTES) == 0 &&
         cleanup_owned_by_user(directory.get());
}

// Records the cache directory, just moved into place, as finished. Never fatal: without the
// mark a later start extracts again.
static void cache_write_mark(const Cache* cache) {
  HandleOwner directory(cache_open_directory(cache));
  unsigned char mark[CACHE_MARK_BYTES];
  if (!directory || cache->lock == nullptr || !cache_mark_of(directory.get(), mark)) return;
  OVERLAPPED at = {};
  DWORD written = 0;
  WriteFile(cache->lock, mark, CACHE_MARK_BYTES, &written, &at);
}

// The copy is used only when this user's launcher finished it and its files are exactly the
// payload's (cache_verify_copy); the table is walked either way.
static bool cache_tree_whole(Cache* cache, const PayloadImage* image) {
  cache->directory_existed = GetFileAttributesW(cache->directory) != INVALID_FILE_ATTRIBUTES;
  return cache_verify_copy(image, cache->names, cache->directory,
                           cache->directory_existed && cache_directory_ours(cache), cache->held);
}

bool cache_prepare(Cache* cache, const PayloadImage* image) {
  if (cache->chosen_root != nullptr) {
    place_create_folder(cache->chosen_root);
  } else {
    cache_make_root(cache->folder);
  }
  cache_make_root(cache->root);
  cache_take_lock(cache);
  return cache_tree_whole(cache, image);
}

static void cache_redraw_sibling(void* cache) {
  Cache* drawn = static_cast<Cache*>(cache);
  cache_compute_paths(drawn, drawn->key, TEMPLATE_SEED_SYSTEM);
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
  if (MoveFileExW(cache->sibling, cache->directory, /* dwFlags */ 0)) {
    cache_write_mark(cache);
    return true;
  }
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

// Removes the version `version` (the name of its lock without ".lock") with its leftovers
// and its lock, when its lock can be opened exclusively (no run uses it; deleted when closed).
static void cache_remove_version(Cache* cache, const wchar_t* version) {
  HandleOwner lock(cache_open_lock(cache, version, /* dwShareMode */ 0, /* remove */ true));
  if (!lock) return;
  if (cache_join(cache->other, cache->root, L"\\", version)) cleanup_remove_tree(cache->other);
  cache_remove_leftovers(cache, version);
}

// True when the `units` units of `name` are a version's name, "<base>-<place>-<key>": some
// text, then "-", 8 hex digits, "-" and 16 hex digits.
static bool cache_version_name(const wchar_t* name, size_t units) {
  const size_t tail = 1 + CACHE_PLACE_DIGITS + 1 + CACHE_KEY_DIGITS;
  if (units <= tail) return false;
  const wchar_t* at = name + units - tail;
  for (size_t i = 0; i < tail; i++) {
    bool dash = i == 0 || i == 1 + CACHE_PLACE_DIGITS;
    if (dash ? at[i] != L'-' : !iswxdigit(at[i])) return false;
  }
  return true;
}

// Removes every version, of any application, whose lock no start has dated for
// CACHE_UNUSED_LIMIT_100NS. Only names the launcher gives are taken.
static void cache_remove_unused(Cache* cache) {
  FILETIME now_time;
  GetSystemTimeAsFileTime(&now_time);
  uint64_t now = ((uint64_t)now_time.dwHighDateTime << 32) | now_time.dwLowDateTime;
  wchar_t version[ZB_PATH_UNITS];
  if (!cache_join(cache->path, cache->root, L"\\*", CACHE_LOCK_SUFFIX)) return;
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(cache->path, &found);
  if (find == INVALID_HANDLE_VALUE) return;
  const size_t suffix = wcslen(CACHE_LOCK_SUFFIX);
  do {
    uint64_t dated = ((uint64_t)found.ftLastWriteTime.dwHighDateTime << 32) |
                     found.ftLastWriteTime.dwLowDateTime;
    size_t units = wcslen(found.cFileName);
    if (dated > now || now - dated < CACHE_UNUSED_LIMIT_100NS || units <= suffix ||
        !cache_version_name(found.cFileName, units - suffix) ||
        (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
      continue;
    }
    wmemcpy(version, found.cFileName, units - suffix);
    version[units - suffix] = L'\0';
    if (_wcsicmp(version, cache->version) != 0) cache_remove_version(cache, version);
  } while (FindNextFileW(find, &found));
  FindClose(find);
}

void cache_tidy(Cache* cache) {
  wchar_t version[ZB_PATH_UNITS];
  if (!cache_join(cache->path, cache->root, L"\\", cache->version)) return;
  cache->path[wcslen(cache->root) + 1 + cache->base_units + 1] = L'*';
  cache->path[wcslen(cache->root) + 1 + cache->base_units + 2] = L'\0';
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(cache->path, &found);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      if (!cache_other_version(cache, found.cFileName)) continue;
      uint32_t length = 0;
      version[0] = L'\0';
      if (!wide_append_text(version, ZB_PATH_UNITS, &length, found.cFileName)) continue;
      version[cache->base_units + 1 + CACHE_KEY_DIGITS] = L'\0';
      cache_remove_version(cache, version);
    } while (FindNextFileW(find, &found));
    FindClose(find);
  }
  cache_remove_unused(cache);
}
