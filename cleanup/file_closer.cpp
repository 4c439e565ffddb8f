#include "cleanup/file_closer.h"

#include <stdint.h>

#include "base/limits.h"
#include "base/wide_text.h"
#include "format/name_path.h"

// Closes `file`; with `name`, opens the file again, shared for reading only, and holds it.
// Decision: a handle's share mode cannot be narrowed, and the writing one, still open, would
// refuse the loader (which opens for reading only shared for reading): so it is closed and the
// file reopened. A writer that came in between makes the reopen fail, and the run with it.
static void closer_close(FileCloser* closer, HANDLE file, const unsigned char* name,
                         uint32_t units) {
  HandleOwner(file).reset();
  if (name == nullptr) return;
  wchar_t path[ZB_PATH_UNITS];
  uint32_t length = 0;
  path[0] = L'\0';
  DWORD error = ERROR_FILENAME_EXCED_RANGE;
  if (wide_append_text(path, ZB_PATH_UNITS, &length, closer->directory) &&
      wide_append_units(path, ZB_PATH_UNITS, &length, L'\\', 1) &&
      name_append_path(path, ZB_PATH_UNITS, &length, name, units)) {
    HANDLE held = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ,
                              /* lpSecurityAttributes */ nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT, /* hTemplateFile */ nullptr);
    error = held == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (error == 0 && !held_files_add(closer->held, held)) error = ERROR_NOT_ENOUGH_MEMORY;
  }
  if (error != 0) InterlockedCompareExchange(&closer->hold_error, (LONG)error, 0);
}

// Closes the queued handles in order; ends once the ring has ended with nothing left.
static DWORD WINAPI closer_main(void* context) {
  FileCloser* closer = static_cast<FileCloser*>(context);
  uint32_t slot = 0;
  while (ring_wait_ready(&closer->ring, &slot)) {
    closer_close(closer, closer->slots[slot], closer->hold_names[slot], closer->hold_units[slot]);
    ring_release(&closer->ring);
  }
  return 0;
}

bool file_closer_start(FileCloser* closer) {
  if (thread_started(&closer->thread)) return false;
  // No thread runs: nothing is queued until the first hand-over.
  ring_reset(&closer->ring, ZB_CLOSER_HANDLES, /* wake_batch */ 1);
  return thread_start(&closer->thread, closer_main, closer, ZB_CLOSER_STACK_BYTES);
}

void file_closer_hand(FileCloser* closer, HANDLE file, const unsigned char* hold_name,
                      uint32_t hold_units) {
  uint32_t slot = 0;
  if (!thread_started(&closer->thread) || !ring_wait_space(&closer->ring, &slot)) {
    closer_close(closer, file, hold_name, hold_units);
    return;
  }
  closer->slots[slot] = file;
  closer->hold_names[slot] = hold_name;
  closer->hold_units[slot] = hold_units;
  ring_publish(&closer->ring, /* filled */ true, /* end */ false);
}

void file_closer_finish(FileCloser* closer) {
  if (!thread_started(&closer->thread)) return;
  ring_publish(&closer->ring, /* filled */ false, /* end */ true);
  // The thread ends only with the ring empty: every handle is closed once it has.
  thread_join(&closer->thread, INFINITE);
}

bool file_closer_wait_closed(FileCloser* closer, DWORD timeout_ms) {
  return ring_wait_drained(&closer->ring, timeout_ms);
}
