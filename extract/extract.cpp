#include "extract/extract.h"

#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

#include "base/fatal.h"
#include "base/handle.h"
#include "base/limits.h"
#include "base/progress_line.h"
#include "base/wide_text.h"
#include "cleanup/file_closer.h"
#include "cleanup/gate.h"
#include "cleanup/held_files.h"
#include "extract/table_names.h"
#include "format/name_path.h"
#include "format/name_rules.h"
#include "format/payload_format.h"
#include "format/payload_table.h"
#include "paths/template.h"
#include "payload/payload_reader.h"

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

void extract_build_target(wchar_t* target, const wchar_t* directory, const unsigned char* name,
                          uint32_t units) {
  target[0] = L'\0';
  uint32_t length = 0;
  if (!wide_append_text(target, ZB_PATH_UNITS, &length, directory) ||
      !wide_append_units(target, ZB_PATH_UNITS, &length, L'\\', 1)) {
    fatal_bounds_abort();
  }
  if (!name_append_path(target, ZB_PATH_UNITS, &length, name, units)) {
    fatal_exit(FATAL_MSG_HEADER);
  }
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

void extract_dll_path(PayloadTable table, const wchar_t* payload_directory, wchar_t* dll_path) {
  // Decision: a child has nothing to load from an empty table; it reports the payload as
  // unusable rather than calling into nothing.
  if (table_empty(table)) fatal_exit(FATAL_MSG_HEADER);
  TableCursor cursor = table_cursor(table);
  PayloadEntry entry;
  payload_next_entry(&cursor, &entry);
  // The child loads this path: a name leading elsewhere is refused here too.
  if (!name_stays_inside(entry.name, entry.name_units)) fatal_exit(FATAL_MSG_HEADER);
  extract_build_target(dll_path, payload_directory, entry.name, entry.name_units);
}

void extract_walk(Extractor* extractor) {
  PayloadReader* reader = extractor->reader;
  RunContext* run = extractor->run;
  TableSize size = table_check_names(reader->table);
  progress_line_begin(L"Extracting", size.bytes);
  // Decision: a small payload is written on this thread alone. Starting the two threads costs
  // more (about 1.5 ms under Wine) than decoding and closing a few files here.
  bool threads = !(extractor->small_alone && size.entries <= ZB_WALK_ALONE_MAX_ENTRIES &&
                   size.bytes <= ZB_WALK_ALONE_MAX_BYTES);
  // Set before the first entry is created, read by removal (cleanup/remove_written.h).
  run->written_table = reader->table;
  run->written_entries = 0;
  // Every entry may be an image: room to hold them all, on whichever thread closes them.
  held_files_reserve(&run->held, size.entries);
  run->closer.directory = run->payload_directory;
  run->closer.held = &run->held;
  TableCursor cursor = table_cursor(reader->table);
  if (!table_empty(reader->table)) {
    if (threads && extractor->read_ahead) payload_start_read_ahead(reader);
    // Without its thread every file is closed on this one, as before.
    if (threads && extractor->closer_thread) file_closer_start(&run->closer);
    for (;;) {
      PayloadEntry entry;
      payload_next_entry(&cursor, &entry);
      if (!name_stays_inside(entry.name, entry.name_units)) fatal_exit(FATAL_MSG_HEADER);
      extract_build_target(extractor->target_path, run->payload_directory, entry.name,
                           entry.name_units);
      if (entry.flags & ZB_ENTRY_FLAG_SECOND_STRING) fatal_exit(FATAL_MSG_HEADER);
      extract_write_entry(extractor, &entry);
      if (entry.flags & ZB_ENTRY_FLAG_LAST) break;
    }
  }
  payload_check_table_end(&cursor);
  payload_finish(reader);
  // The child starts only once every file is closed, and every image held.
  file_closer_finish(&run->closer);
  if (run->closer.hold_error != 0) {
    fatal_exit_code("Error, couldn't unpack file to target path.",
                    (unsigned long)run->closer.hold_error);
  }
}
