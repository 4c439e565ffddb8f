#include "bootstrap/extract.h"

#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

#include "base/fatal.h"
#include "base/limits.h"
#include "base/little_endian.h"
#include "base/payload_format.h"
#include "base/run_state.h"
#include "base/wide_text.h"
#include "bootstrap/payload_ahead.h"
#include "bootstrap/payload_reader.h"
#include "cleanup/file_closer.h"
#include "cleanup/gate.h"
#include "paths/template.h"

#ifdef ZOBRIN_TESTING
uint32_t extract_create_directory_calls = 0;
uint32_t extract_home_expansions = 0;
bool extract_read_ahead = true;
uint32_t extract_fail_write_entry = UINT32_MAX;
static uint32_t extract_entry_index = 0;
#endif

// The current entry's target path: the payload directory, "" and the entry's name.
static wchar_t extract_target_path[ZB_PATH_UNITS];

static wchar_t* extract_known_dirs[ZB_KNOWN_DIRS_MAX];
static int32_t extract_known_count = 0;

static const wchar_t EXTRACT_HOME_TEMPLATE[] = L"{HOME}";

// 1 when `path` is the payload directory, 2 when it lies below it, 0 otherwise (also when no
// payload directory is set).
static int extract_payload_relation(const wchar_t* path) {
  size_t length = wcsnlen(run_state.payload_directory, ZB_PATH_UNITS);
  if (length == 0 || wcsncmp(path, run_state.payload_directory, length) != 0) return 0;
  if (path[length] == L'\0') return 1;
  return path[length] == L'\\' ? 2 : 0;
}

bool extract_make_directory(const wchar_t* path) {
  // The payload directory was created new, and empty, by this run: it exists, and the home
  // directory can be neither it nor below it. Slot 0 of the list is the home directory's from
  // the first call on, filled when a path is met that could be it. Decision: the walk stays
  // within the payload directory, so a run expands "{HOME}" (and loads shell32 for it) only
  // when that directory has gone missing.
  int relation = extract_payload_relation(path);
  if (relation == 1) return true;
  if (extract_known_count == 0) extract_known_count = 1;
  if (extract_known_dirs[0] == nullptr && relation == 0) {
#ifdef ZOBRIN_TESTING
    extract_home_expansions++;
#endif
    wchar_t home[ZB_PATH_UNITS];
    if (!template_expand(home, EXTRACT_HOME_TEMPLATE, ZB_PATH_UNITS)) {
      fatal_expand_error(EXTRACT_HOME_TEMPLATE);
    }
    // A copy that cannot be made is not recorded: the list only holds readable texts.
    extract_known_dirs[0] = _wcsdup(home);
  }
  for (int32_t i = 0; i < extract_known_count; i++) {
    if (extract_known_dirs[i] != nullptr && wcscmp(path, extract_known_dirs[i]) == 0) return true;
  }
  if (wcslen(path) == 2 && path[1] == L':') return true;
#ifdef ZOBRIN_TESTING
  extract_create_directory_calls++;
#endif
  if (!CreateDirectoryW(path, /* lpSecurityAttributes */ nullptr) &&
      GetLastError() != ERROR_ALREADY_EXISTS) {
    return false;
  }
  if (extract_known_count < (int32_t)ZB_KNOWN_DIRS_MAX) {
    wchar_t* copy = _wcsdup(path);
    if (copy != nullptr) extract_known_dirs[extract_known_count++] = copy;
  }
  return true;
}

// Cuts `text` at its last backslash at index 1 or more; false when there is none.
static bool extract_cut_last_separator(wchar_t* text) {
  for (size_t i = wcslen(text); i > 1; i--) {
    if (text[i - 1] == L'\\') {
      text[i - 1] = L'\0';
      return true;
    }
  }
  return false;
}

// Decision: one buffer, cut going up and mended coming down, instead of a 4096-unit copy per
// level. A file thousands of missing levels deep would otherwise need more stack than the
// process has. The directories tried, and their order, are those of the level-by-level walk:
// up until one exists (or no separator is left, then that top one is tried once more), then
// each lower one once.
void extract_make_parent_directories(const wchar_t* path) {
  wchar_t directory[ZB_PATH_UNITS];
  directory[0] = L'\0';
  uint32_t length = 0;
  if (!wide_append_text(directory, ZB_PATH_UNITS, &length, path)) fatal_bounds_abort();
  if (length == 0) return;
  uint32_t levels = 0;
  bool found = false;
  while (extract_cut_last_separator(directory)) {
    levels++;
    if (extract_make_directory(directory)) {
      found = true;
      break;
    }
  }
  if (levels == 0) return;
  if (!found) extract_make_directory(directory);
  while (levels > 1) {
    directory[wcslen(directory)] = L'\\';
    levels--;
    extract_make_directory(directory);
  }
}

// True when the name (`units` units, little-endian, in the table) stays below the payload
// directory: components separated by "\", none empty, "." or ".."; no "/" (a separator the
// system also honours) and no ":" (a drive or an alternate data stream) anywhere.
// Decision: a component of dots and spaces only ("...", ".. ") is refused as well, since the
// system may trim it to "." or ".."; the packer never writes one (no name ends in either).
bool extract_name_stays_inside(const unsigned char* name, uint32_t units) {
  uint32_t component = 0;  // units of the current component so far
  uint32_t dots = 0;       // how many of them are "." or " "
  for (uint32_t i = 0; i <= units; i++) {
    uint16_t unit = i < units ? le_read_u16(name + 2 * (uint64_t)i) : L'\\';
    if (unit == L'/' || unit == L':') return false;
    if (unit == L'\\') {
      if (component == 0 || dots == component) return false;
      component = 0;
      dots = 0;
      continue;
    }
    component++;
    if (unit == L'.' || unit == L' ') dots++;
  }
  return true;
}

// True when the component (`units` units from `name`, little-endian) is a device name: CON,
// PRN, AUX, NUL, COM1 to COM9 or LPT1 to LPT9, in any case, alone or before an extension
// (spaces before the dot ignored). Windows opens the device instead of a file.
static bool extract_component_is_device(const unsigned char* name, uint32_t units) {
  wchar_t base[5];
  uint32_t length = 0;
  for (uint32_t i = 0; i < units; i++) {
    uint16_t unit = le_read_u16(name + 2 * (uint64_t)i);
    if (unit == L'.') break;
    if (length == 5) return false;
    base[length++] = (unit >= L'a' && unit <= L'z') ? (wchar_t)(unit - L'a' + L'A') : (wchar_t)unit;
  }
  while (length > 0 && base[length - 1] == L' ') length--;
  if (length == 3) {
    return wcsncmp(base, L"CON", 3) == 0 || wcsncmp(base, L"PRN", 3) == 0 ||
           wcsncmp(base, L"AUX", 3) == 0 || wcsncmp(base, L"NUL", 3) == 0;
  }
  return length == 4 && (wcsncmp(base, L"COM", 3) == 0 || wcsncmp(base, L"LPT", 3) == 0) &&
         base[3] >= L'1' && base[3] <= L'9';
}

struct ExtractName {
  const wchar_t* units;  // in the table: x86-64 reads its little-endian units as they lie
  int count;
};

static int extract_compare_names(const void* a, const void* b) {
  const ExtractName* x = (const ExtractName*)a;
  const ExtractName* y = (const ExtractName*)b;
  // The comparison the file system makes: each unit in its simple upper case.
  return CompareStringOrdinal(x->units, x->count, y->units, y->count, /* bIgnoreCase */ TRUE) -
         CSTR_EQUAL;
}

void extract_check_names(void) {
  if (payload_table_empty()) return;
  uint32_t count = 0;
  for (;;) {
    PayloadEntry entry;
    payload_next_entry(&entry);
    uint32_t start = 0;
    for (uint32_t i = 0; i <= entry.name_units; i++) {
      if (i < entry.name_units && le_read_u16(entry.name + 2 * (uint64_t)i) != L'\\') continue;
      if (extract_component_is_device(entry.name + 2 * (uint64_t)start, i - start)) {
        fatal_exit(FATAL_MSG_HEADER);
      }
      start = i + 1;
    }
    count++;
    if (entry.flags & ZB_ENTRY_FLAG_LAST) break;
  }
  ExtractName* names = (ExtractName*)malloc((size_t)count * sizeof(ExtractName));
  if (names == nullptr) fatal_exit(FATAL_MSG_MEMORY);
  payload_restart_table();
  for (uint32_t i = 0; i < count; i++) {
    PayloadEntry entry;
    payload_next_entry(&entry);
    names[i].units = (const wchar_t*)entry.name;
    names[i].count = (int)entry.name_units;
  }
  payload_restart_table();
  qsort(names, count, sizeof(ExtractName), extract_compare_names);
  for (uint32_t i = 1; i < count; i++) {
    if (extract_compare_names(&names[i - 1], &names[i]) == 0) fatal_exit(FATAL_MSG_HEADER);
  }
  free(names);
}

void extract_build_target(wchar_t* target, const wchar_t* directory, const unsigned char* name,
                          uint32_t units) {
  target[0] = L'\0';
  uint32_t length = 0;
  if (!wide_append_text(target, ZB_PATH_UNITS, &length, directory) ||
      !wide_append_units(target, ZB_PATH_UNITS, &length, L'\\', 1)) {
    fatal_bounds_abort();
  }
  if (length + units + 1 > ZB_PATH_UNITS) fatal_exit(FATAL_MSG_HEADER);
  for (uint32_t i = 0; i < units; i++) {
    target[length + i] = (wchar_t)le_read_u16(name + 2 * (uint64_t)i);
  }
  target[length + units] = L'\0';
}

// Closes the file being written (run_state.file), if it is still there: the console handler
// may have taken it already.
static void extract_close_file(void) {
  HANDLE file = InterlockedExchangePointer(&run_state.file, nullptr);
  if (file != nullptr) CloseHandle(file);
}

void extract_release_file(void) {
  payload_ahead_stop();
  extract_close_file();
  file_closer_finish();
}

// Three kinds of step pass the gate, so that an interrupt waits for one of them at most: the
// parent directories and the file's creation, each write, the hand-over to the closer. The
// decoder's output is taken outside it.
static void extract_write_entry(const PayloadEntry* entry) {
  cleanup_gate_enter();
  extract_make_parent_directories(extract_target_path);
  HANDLE file = CreateFileW(extract_target_path, GENERIC_WRITE, FILE_SHARE_WRITE,
                            /* lpSecurityAttributes */ nullptr, CREATE_ALWAYS,
                            /* dwFlagsAndAttributes */ 0, /* hTemplateFile */ nullptr);
  if (file == INVALID_HANDLE_VALUE) fatal_open_error(extract_target_path);
  run_state.file = file;
  cleanup_gate_leave();
  // Decision: each write takes what the decoder's output holds of the entry (up to
  // ZB_DECODE_BUFFER_BYTES), straight from it, without a copy.
  for (uint64_t left = entry->size; left != 0;) {
    const unsigned char* data = nullptr;
    DWORD chunk = payload_take(&data, left);
    cleanup_gate_enter();
    DWORD written = 0;
    BOOL wrote = WriteFile(file, data, chunk, &written, /* lpOverlapped */ nullptr);
#ifdef ZOBRIN_TESTING
    if (extract_entry_index == extract_fail_write_entry && left - chunk == 0) {
      wrote = FALSE;
      SetLastError(ERROR_DISK_FULL);
    }
#endif
    if (!wrote) {
      fatal_exit_code("Error, couldn't unpack file to target path.", GetLastError());
    }
    // A short count would leave the file silently cut; report it as the disk being full.
    if (written != chunk) {
      fatal_exit_code("Error, couldn't unpack file to target path.", ERROR_DISK_FULL);
    }
    cleanup_gate_leave();
    left -= chunk;
  }
  cleanup_gate_enter();
  // Taken out the way the console handler takes it: exactly one of the two closes it.
  HANDLE finished = InterlockedExchangePointer(&run_state.file, nullptr);
  if (finished != nullptr) file_closer_hand(finished);
  cleanup_gate_leave();
#ifdef ZOBRIN_TESTING
  extract_entry_index++;
#endif
}

void extract_dll_path(void) {
  // Decision: a child has nothing to load from an empty table; it reports the payload as
  // unusable rather than calling into nothing.
  if (payload_table_empty()) fatal_exit(FATAL_MSG_HEADER);
  PayloadEntry entry;
  payload_next_entry(&entry);
  // The child loads this path: a name leading elsewhere is refused here too.
  if (!extract_name_stays_inside(entry.name, entry.name_units)) fatal_exit(FATAL_MSG_HEADER);
  extract_build_target(run_state.dll_path, run_state.payload_directory, entry.name,
                       entry.name_units);
}

void extract_walk(void) {
  extract_check_names();
  if (!payload_table_empty()) {
#ifdef ZOBRIN_TESTING
    extract_entry_index = 0;
    if (extract_read_ahead)
#endif
      payload_ahead_start();
    // Without its thread every file is closed on this one, as before.
    file_closer_start();
    for (;;) {
      PayloadEntry entry;
      payload_next_entry(&entry);
      if (!extract_name_stays_inside(entry.name, entry.name_units)) fatal_exit(FATAL_MSG_HEADER);
      extract_build_target(extract_target_path, run_state.payload_directory, entry.name,
                           entry.name_units);
      if (entry.flags & ZB_ENTRY_FLAG_SECOND_STRING) fatal_exit(FATAL_MSG_HEADER);
      extract_write_entry(&entry);
      if (entry.flags & ZB_ENTRY_FLAG_LAST) break;
    }
  }
  payload_finish();
  // The child starts only once every file is closed.
  file_closer_finish();
}
