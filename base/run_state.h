// The state of one launcher run, in one place. The driver writes it; extraction, launch and
// shutdown read it. The console control handler's thread reaches the payload directory, the
// removal flag, the child slot and the open file; the main thread's changes to the last three
// are ordered with it by the gate (cleanup/gate.h) or by interlocked exchanges:
// - `payload_directory` is final before the handler is registered, read-only after that;
// - `remove_directory` is set once, when the parent has created the payload directory; cleared
//   only in the cached mode, inside the gate, once that directory has become the cache
//   directory (or was removed after another run's copy took the place);
// - `child` is only touched by the interlocked exchanges in cleanup/child_slot.h;
// - `file` is set and cleared by the main thread inside the gate (cleanup/gate.h) and taken
//   out by an interlocked exchange by whoever closes it (or hands it to the closer).
#pragma once

#include <windows.h>

#include "base/limits.h"

struct RunState {
  // Absolute path of the directory the payload is extracted into (parent and child alike).
  wchar_t payload_directory[ZB_PATH_UNITS];
  // Child role: the first payload entry's target path, the DLL it loads. Main thread only.
  wchar_t dll_path[ZB_PATH_UNITS];
  // Parent role: shutdown removes the payload directory once this is true.
  volatile bool remove_directory;
  // Hand-over slot of the running child's process handle (a duplicate), null when empty.
  HANDLE volatile child;
  // Parent role: the file extraction is writing, null when none.
  HANDLE volatile file;
};

extern RunState run_state;
