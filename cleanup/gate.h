// The gate between the parent's main thread and the console control handler: after an
// interrupt, nothing more is created below the payload directory and no child starts.
#pragma once

#include <windows.h>

#include "cleanup/run_context.h"

// The main thread passes the gate around every step that creates or writes something below
// the payload directory or starts the child: a directory chain and a file's creation, one
// write, a file's hand-over to the closer (cleanup/file_closer.h), the move of the cached
// mode's sibling into place, and the child's start up to its publication in the child slot.
// A step is short: the main thread never waits inside the gate for the decoder or for the
// child, only, with the closer's ring full, for the one close that makes room, so the
// handler gets through at once. The file being written is kept in RunContext::file while it
// is open (set and cleared inside the gate; whoever takes it out with an interlocked
// exchange closes it or hands it to the closer).
//
// Decision: the handler does not keep the gate. It sets the stop flag, then takes and gives
// back the gate once, which waits out the step in progress; every later step finds the flag
// inside the gate and never runs. Held for good instead, a second event (a close after a
// Ctrl+C, or a handler called again on the same thread) would block on it forever, while
// here each event waits only for that one step and then runs shutdown as before.

// Enters the gate (exclusive; the decoder thread never takes it). After cleanup_gate_stop it
// does not return: the main thread waits there until the process ends, holding nothing. Not
// reentrant: a thread inside the gate must leave it before entering again.
void cleanup_gate_enter(RunContext* run);

// Leaves the gate entered by cleanup_gate_enter on the same thread.
void cleanup_gate_leave(RunContext* run);

// For the console control handler, before shutdown: stops the main thread's steps, waits for
// the one in progress to end, closes the file it left open (RunContext::file) and waits up to
// ZB_CLOSER_STOP_WAIT_MS for the closer to close the files handed to it. Afterwards nothing
// below the payload directory is created, written or held open by the main thread or the
// closer, and no child starts. Must not be called by a thread inside the gate.
void cleanup_gate_stop(RunContext* run);
