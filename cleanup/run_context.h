// What one launcher run shares with the console control handler: the payload directory, the
// removal flag, what the walk wrote, the child slot, the open file, the gate, the closer and
// the held files. The driver owns it and hands it to each step that needs it; the handler
// reaches it through the one published pointer (cleanup/shutdown.h). The main thread's
// changes are ordered with the handler's thread by the gate (cleanup/gate.h) or by
// interlocked exchanges:
// - `payload_directory` is final before the run is published, read-only after that;
// - `remove_directory` is set once, when the parent has created the payload directory; cleared
//   only in the cached mode, inside the gate, once that directory has become the cache
//   directory (or was removed after another run's copy took the place);
// - `written_table` is set before the walk's first step, `written_entries`
//   inside the gate before each entry's directories and file are created;
// - `child` is only touched by the interlocked exchanges in cleanup/child_slot.h;
// - `program_started` is set once, inside the gate, right after the program mode's program
//   is published in the child slot, and never cleared;
// - `file` is set and cleared by the main thread inside the gate and taken out by an
//   interlocked exchange by whoever closes it (or hands it to the closer).
#pragma once

#include <stdint.h>
#include <windows.h>

#include "base/limits.h"
#include "cleanup/file_closer.h"
#include "cleanup/held_files.h"
#include "format/payload_table.h"

// A zeroed one (`RunContext run = {}`) is an empty run: no directory, nothing to remove, the
// gate open, the closer without a thread.
struct RunContext {
  // Absolute path of the directory the payload is extracted into (parent and child alike).
  wchar_t payload_directory[ZB_PATH_UNITS];
  // Parent role: shutdown removes the payload directory once this is true.
  volatile bool remove_directory;
  // What the walk wrote, for removal by name (cleanup/remove_written.h): the payload table (in
  // the payload array, not copied; its bytes null before a walk) and how many of its entries
  // the walk has begun to create.
  PayloadTable written_table;
  volatile uint32_t written_entries;
  // Hand-over slot of the running child's process handle (a duplicate), null when empty.
  HANDLE volatile child;
  // Program mode: nonzero once the program has started. From then on the program, which
  // shares the console and gets the event itself, owns Ctrl+C and Ctrl+Break.
  volatile LONG program_started;
  // Parent role: the file extraction is writing, null when none.
  HANDLE volatile file;
  // The gate (cleanup/gate.h): the lock and the stop flag.
  SRWLOCK gate;
  volatile LONG gate_stopped;
  // Files extraction has finished, on their way to being closed.
  FileCloser closer;
  // Parent role: the executable files of the payload directory, held until the application
  // has ended (cleanup/held_files.h); closed by shutdown before removal.
  HeldFiles held;
};
