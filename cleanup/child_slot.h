// Hand-over of the running child between the launch and shutdown, which may run on the
// console control handler's thread. No lock guards it.
#pragma once

#include <windows.h>

#include "cleanup/run_context.h"

// The slot is RunContext::child. It holds a duplicate of the child's handle, never the
// launch's own handle, so the launch may wait on its handle for as long as it likes while
// shutdown, on another thread, waits on, terminates and closes the duplicate. The slot's
// handle is handed out by one interlocked exchange: whichever side takes it first owns it and
// closes it, the other side gets null. Each of the two handles is thus closed exactly once, by
// its one owner, and never used after that.
//
// In order: CreateProcessW; cleanup_child_publish(hProcess); wait on hProcess;
// GetExitCodeProcess(hProcess); close hProcess; cleanup_child_release(); cleanup_shutdown().

// Puts a duplicate of `process` into the slot. `process` stays the caller's, to wait on and
// to close. A handle still in the slot from before is closed. False (slot left empty) when
// the duplicate cannot be made; the child then runs unseen by shutdown.
bool cleanup_child_publish(RunContext* run, HANDLE process);

// Empties the slot. The result (null when the slot was empty or another thread took it
// first) now belongs to the caller, who must close it.
HANDLE cleanup_child_take(RunContext* run);

// Empties the slot and closes what it held, if anything.
void cleanup_child_release(RunContext* run);
