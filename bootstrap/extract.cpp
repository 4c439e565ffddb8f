#include "bootstrap/extract.h"

#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

#include "base/fatal.h"
#include "base/handle.h"
#include "base/limits.h"
#include "base/little_endian.h"
#include "base/payload_format.h"
#include "base/progress_line.h"
#include "base/wide_text.h"
#include "bootstrap/payload_reader.h"
#include "cleanup/file_closer.h"
#include "cleanup/gate.h"
#include "cleanup/held_files.h"
#include "paths/template.h"

static const wchar_t EXTRACT_HOME_TEMPLATE[] = L"{HOME}";

// 1 when `path` is the payload directory, 2 when it lies below it, 0 otherwise (also when no
// payload directory is set).
static int extract_payload_relation(const wchar_t* path, const wchar_t* payload_directory) {
  size_t length = wcsnlen(payload_directory, ZB_PATH_UNITS);
  if (length == 0 || wcsncmp(path, payload_directory, length) != 0) return 0;
  if (path[length] == L'\0') return 1;
  return path[length] == L'\\' ? 2 : 0;
}

void extract_init(Extractor* extractor, RunContext* run, PayloadReader* reader) {
  extractor->run = run;
  extractor->reader = reader;
  extractor->read_ahead = true;
  extractor->closer_thread = true;
  extractor->small_alone = false;
  extractor->hold_images = true;
  extractor->fail_write_entry = UINT32_MAX;
}

bool extract_make_directory(Extractor* extractor, const wchar_t* path) {
  // The payload directory was created new, and empty, by this run: it exists, and the home
  // directory can be neither it nor below it. Slot 0 of the list is the home directory's from
  // the first call on, filled when a path is met that could be it. Decision: the walk stays
  // within the payload directory, so a run expands "{HOME}" (and loads shell32 for it) only
  // when that directory has gone missing.
  int relation = extract_payload_relation(path, extractor->run->payload_directory);
  if (relation == 1) return true;
  wchar_t** known = extractor->known_dirs;
  if (extractor->known_count == 0) extractor->known_count = 1;
  if (known[0] == nullptr && relation == 0) {
    extractor->home_expansions++;
    wchar_t home[ZB_PATH_UNITS];
    if (!template_expand(home, EXTRACT_HOME_TEMPLATE, ZB_PATH_UNITS)) {
      fatal_expand_error(EXTRACT_HOME_TEMPLATE);
    }
    // A copy that cannot be made is not recorded: the list only holds readable texts.
    known[0] = _wcsdup(home);
  }
  for (int32_t i = 0; i < extractor->known_count; i++) {
    if (known[i] != nullptr && wcscmp(path, known[i]) == 0) return true;
  }
  if (wcslen(path) == 2 && path[1] == L':') return true;
  extractor->create_directory_calls++;
  if (!CreateDirectoryW(path, /* lpSecurityAttributes */ nullptr) &&
      GetLastError() != ERROR_ALREADY_EXISTS) {
    return false;
  }
  if (extractor->known_count < (int32_t)ZB_KNOWN_DIRS_MAX) {
    wchar_t* copy = _wcsdup(path);
    if (copy != nullptr) known[extractor->known_count++] = copy;
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
void extract_make_parent_directories(Extractor* extractor, const wchar_t* path) {
  wchar_t directory[ZB_PATH_UNITS];
  directory[0] = L'\0';
  uint32_t length = 0;
  if (!wide_append_text(directory, ZB_PATH_UNITS, &length, path)) fatal_bounds_abort();
  if (length == 0) return;
  uint32_t levels = 0;
  bool found = false;
  while (extract_cut_last_separator(directory)) {
    levels++;
    if (extract_make_directory(extractor, directory)) {
      found = true;
      break;
    }
  }
  if (levels == 0) return;
  if (!found) extract_make_directory(extractor, directory);
  while (levels > 1) {
    directory[wcslen(directory)] = L'\\';
    levels--;
    extract_make_directory(extractor, directory);
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
// PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9, CONIN$ or CONOUT$, in any case, alone or before
// an extension (spaces before the dot ignored). Windows opens the device (or the console)
// instead of a file.
static bool extract_component_is_device(const unsigned char* name, uint32_t units) {
  wchar_t base[8];
  uint32_t length = 0;
  for (uint32_t i = 0; i < units; i++) {
    uint16_t unit = le_read_u16(name + 2 * (uint64_t)i);
    if (unit == L'.') break;
    if (length == 8) return false;
    if (unit >= L'a' && unit <= L'z') unit = (uint16_t)(unit - L'a' + L'A');
    base[length++] = (wchar_t)unit;
  }
  while (length > 0 && base[length - 1] == L' ') length--;
  if (length == 3) {
    return wcsncmp(base, L"CON", 3) == 0 || wcsncmp(base, L"PRN", 3) == 0 ||
           wcsncmp(base, L"AUX", 3) == 0 || wcsncmp(base, L"NUL", 3) == 0;
  }
  if (length == 6 || length == 7) {
    return wcsncmp(base, length == 6 ? L"CONIN$" : L"CONOUT$", length) == 0;
  }
  return length == 4 && (wcsncmp(base, L"COM", 3) == 0 || wcsncmp(base, L"LPT", 3) == 0) &&
         base[3] >= L'1' && base[3] <= L'9';
}

// True when the component (`units` units from `name`) is one Windows would hold under another
// name or not as a file: a device name, or a last dot or space, which the system drops
// ("x.txt." would overwrite "x.txt").
static bool extract_component_changes(const unsigned char* name, uint32_t units) {
  if (units > 0) {
    uint16_t last = le_read_u16(name + 2 * (uint64_t)(units - 1));
    if (last == L'.' || last == L' ') return true;
  }
  return extract_component_is_device(name, units);
}

struct ExtractName {
  const wchar_t* units;  // in the table: x86-64 reads its little-endian units as they lie
  int count;
};

// Units of `name` from `start` up to the next "\" or its end.
static int extract_component_end(const ExtractName* name, int start) {
  int end = start;
  while (end < name->count && name->units[end] != L'\\') end++;
  return end;
}

// qsort's comparison of two ExtractName: below, equal to or above 0 as `a` sorts before,
// with or after `b`, component by component, each without regard to case. Decision: by
// component, so that a name is followed at once by the names below it taken as a directory
// ("p", then "p\q", before "p.txt"): one pass over neighbours then finds every clash.
static int extract_compare_names(const void* a, const void* b) {
  const ExtractName* x = (const ExtractName*)a;
  const ExtractName* y = (const ExtractName*)b;
  int i = 0;
  int j = 0;
  for (;;) {
    int x_end = extract_component_end(x, i);
    int y_end = extract_component_end(y, j);
    // The comparison the file system makes: each unit in its simple upper case.
    int order = CompareStringOrdinal(x->units + i, x_end - i, y->units + j, y_end - j,
                                     /* bIgnoreCase */ TRUE) - CSTR_EQUAL;
    if (order != 0) return order;
    bool x_more = x_end < x->count;
    bool y_more = y_end < y->count;
    if (!x_more || !y_more) return (int)x_more - (int)y_more;
    i = x_end + 1;
    j = y_end + 1;
  }
}

// True when `inner` lies below `outer` taken as a directory: `outer`, "\", more (case ignored).
static bool extract_name_within(const ExtractName* outer, const ExtractName* inner) {
  return inner->count > outer->count && inner->units[outer->count] == L'\\' &&
         CompareStringOrdinal(outer->units, outer->count, inner->units, outer->count,
                              /* bIgnoreCase */ TRUE) == CSTR_EQUAL;
}

ExtractTableSize extract_check_names(PayloadReader* reader) {
  ExtractTableSize size = {0, 0};
  if (payload_table_empty(reader)) return size;
  uint32_t count = 0;
  for (;;) {
    PayloadEntry entry;
    payload_next_entry(reader, &entry);
    // Saturates: only a comparison with a small bound is made of it.
    size.bytes = entry.size > UINT64_MAX - size.bytes ? UINT64_MAX : size.bytes + entry.size;
    uint32_t start = 0;
    for (uint32_t i = 0; i <= entry.name_units; i++) {
      if (i < entry.name_units && le_read_u16(entry.name + 2 * (uint64_t)i) != L'\\') continue;
      if (extract_component_changes(entry.name + 2 * (uint64_t)start, i - start)) {
        fatal_exit(FATAL_MSG_HEADER);
      }
      start = i + 1;
    }
    count++;
    if (entry.flags & ZB_ENTRY_FLAG_LAST) break;
  }
  ExtractName* names = (ExtractName*)malloc((size_t)count * sizeof(ExtractName));
  if (names == nullptr) fatal_exit(FATAL_MSG_MEMORY);
  payload_restart_table(reader);
  for (uint32_t i = 0; i < count; i++) {
    PayloadEntry entry;
    payload_next_entry(reader, &entry);
    names[i].units = (const wchar_t*)entry.name;
    names[i].count = (int)entry.name_units;
  }
  payload_restart_table(reader);
  qsort(names, count, sizeof(ExtractName), extract_compare_names);
  // The same name twice (or but for case), or a file that a later name takes for its
  // directory: sorted by component, the two are neighbours.
  for (uint32_t i = 1; i < count; i++) {
    if (extract_compare_names(&names[i - 1], &names[i]) == 0 ||
        extract_name_within(&names[i - 1], &names[i])) {
      fatal_exit(FATAL_MSG_HEADER);
    }
  }
  free(names);
  size.entries = count;
  return size;
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

void extract_release_file(Extractor* extractor) {
  payload_stop_read_ahead(extractor->reader);
  // The file being written, if it is still there: the console handler may have taken it.
  HandleOwner::take(&extractor->run->file).reset();
  file_closer_finish(&extractor->run->closer);
}

// Three kinds of step pass the gate, so that an interrupt waits for one of them at most: the
// parent directories and the file's creation, each write, the hand-over to the closer. The
// decoder's output is taken outside it.
static void extract_write_entry(Extractor* extractor, const PayloadEntry* entry) {
  RunContext* run = extractor->run;
  cleanup_gate_enter(run);
  // Counted before anything of it is created: removal then takes what exists of it by name.
  run->written_entries = extractor->entry_index + 1;
  extract_make_parent_directories(extractor, extractor->target_path);
  // Shared for reading only: no one else writes, renames or deletes the file while it is
  // written (an image is then held from its close on, cleanup/held_files.h).
  HANDLE file = CreateFileW(extractor->target_path, GENERIC_WRITE, FILE_SHARE_READ,
                            /* lpSecurityAttributes */ nullptr, CREATE_ALWAYS,
                            /* dwFlagsAndAttributes */ 0, /* hTemplateFile */ nullptr);
  if (file == INVALID_HANDLE_VALUE) fatal_open_error(extractor->target_path);
  // Owned by the run's slot from here on: whoever takes it out closes it.
  run->file = file;
  cleanup_gate_leave(run);
  // Decision: each write takes what the decoder's output holds of the entry (up to
  // ZB_DECODE_BUFFER_BYTES), straight from it, without a copy. Its first bytes are kept on
  // the way: they tell an image, which is held once written.
  unsigned char first[2];
  uint32_t first_count = 0;
  for (uint64_t left = entry->size; left != 0;) {
    const unsigned char* data = nullptr;
    DWORD chunk = payload_take(extractor->reader, &data, left);
    for (DWORD i = 0; i < chunk && first_count < sizeof first; i++) first[first_count++] = data[i];
    cleanup_gate_enter(run);
    DWORD written = 0;
    BOOL wrote = WriteFile(file, data, chunk, &written, /* lpOverlapped */ nullptr);
#ifdef ZOBRIN_TESTING
    if (extractor->entry_index == extractor->fail_write_entry && left - chunk == 0) {
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
    cleanup_gate_leave(run);
    progress_line_add(chunk);
    left -= chunk;
  }
  cleanup_gate_enter(run);
  // Taken out the way the console handler takes it: exactly one of the two closes it.
  HandleOwner finished = HandleOwner::take(&run->file);
  if (finished) {
    bool image = extractor->hold_images && held_files_is_image(first, first_count);
    file_closer_hand(&run->closer, finished.release(), image ? entry->name : nullptr,
                     entry->name_units);
  }
  cleanup_gate_leave(run);
  extractor->entry_index++;
}

void extract_dll_path(PayloadReader* reader, const wchar_t* payload_directory, wchar_t* dll_path) {
  // Decision: a child has nothing to load from an empty table; it reports the payload as
  // unusable rather than calling into nothing.
  if (payload_table_empty(reader)) fatal_exit(FATAL_MSG_HEADER);
  PayloadEntry entry;
  payload_next_entry(reader, &entry);
  // The child loads this path: a name leading elsewhere is refused here too.
  if (!extract_name_stays_inside(entry.name, entry.name_units)) fatal_exit(FATAL_MSG_HEADER);
  extract_build_target(dll_path, payload_directory, entry.name, entry.name_units);
}

void extract_walk(Extractor* extractor) {
  PayloadReader* reader = extractor->reader;
  RunContext* run = extractor->run;
  ExtractTableSize size = extract_check_names(reader);
  progress_line_begin(L"Extracting", size.bytes);
  // Decision: a small payload is written on this thread alone. Starting the two threads costs
  // more (about 1.5 ms under Wine) than decoding and closing a few files here.
  bool threads = !(extractor->small_alone && size.entries <= ZB_WALK_ALONE_MAX_ENTRIES &&
                   size.bytes <= ZB_WALK_ALONE_MAX_BYTES);
  // Set before the first entry is created, read by removal (cleanup/remove_written.h).
  run->written_table = reader->array + ZB_PAYLOAD_HEADER_BYTES;
  run->written_table_bytes = reader->table_end - ZB_PAYLOAD_HEADER_BYTES;
  run->written_entries = 0;
  // Every entry may be an image: room to hold them all, on whichever thread closes them.
  held_files_reserve(&run->held, size.entries);
  run->closer.directory = run->payload_directory;
  run->closer.held = &run->held;
  if (!payload_table_empty(reader)) {
    if (threads && extractor->read_ahead) payload_start_read_ahead(reader);
    // Without its thread every file is closed on this one, as before.
    if (threads && extractor->closer_thread) file_closer_start(&run->closer);
    for (;;) {
      PayloadEntry entry;
      payload_next_entry(reader, &entry);
      if (!extract_name_stays_inside(entry.name, entry.name_units)) fatal_exit(FATAL_MSG_HEADER);
      extract_build_target(extractor->target_path, run->payload_directory, entry.name,
                           entry.name_units);
      if (entry.flags & ZB_ENTRY_FLAG_SECOND_STRING) fatal_exit(FATAL_MSG_HEADER);
      extract_write_entry(extractor, &entry);
      if (entry.flags & ZB_ENTRY_FLAG_LAST) break;
    }
  }
  payload_finish(reader);
  // The child starts only once every file is closed, and every image held.
  file_closer_finish(&run->closer);
  if (run->closer.hold_error != 0) {
    fatal_exit_code("Error, couldn't unpack file to target path.",
                    (unsigned long)run->closer.hold_error);
  }
}
