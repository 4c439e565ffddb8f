// Ending the child and removing the payload directory, at the end of a parent run and on a
// console control event. Nothing here prints or ends the process.
#pragma once

#include <windows.h>

#include "cleanup/run_context.h"

// Takes the child from the run's hand-over slot, if it is still there: waits up to
// ZB_CHILD_GRACE_MS for it to end, terminates it with exit code STATUS_CONTROL_C_EXIT
// (0xC000013A, what an interrupted program returns) otherwise, closes the
// handle. Then, once the run's removal flag is set, removes its payload directory, by the
// names the walk wrote first (cleanup/remove_written.h): up to ZB_REMOVE_ATTEMPTS removal calls, each failed one followed by a ZB_REMOVE_PAUSE_MS pause
// (the last one too), counted in the run. What cannot be removed stays, silently. Safe to run
// on two threads at once: only one of them gets the child, and both treat a missing directory
// as removed.
void cleanup_shutdown(RunContext* run);

// Makes `run` (or null: none) the run the console control handler acts on. The run must stay
// valid until the process ends or another is published; its payload directory must be final.
void cleanup_publish_run(RunContext* run);

// The console control handler, registered in the parent role only. Interrupt, break, close,
// log-off and shutdown (0, 1, 2, 5, 6) stop the published run's main thread at the gate
// (cleanup_gate_stop: nothing more is created, the open file and those handed to the closer
// are closed, no child starts), then run cleanup_shutdown on it; every other type, or no
// published run, does nothing, and returns FALSE, so the event goes on to the next handler or
// the system's default handling, which ends the process. Except in the program mode once the
// program has started (RunContext::program_started): interrupt and break are then the
// program's; the handler does nothing and returns TRUE, and the launcher waits on.
BOOL WINAPI cleanup_console_handler(DWORD control_type);
