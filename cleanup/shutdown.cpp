#include "cleanup/shutdown.h"

#include "base/handle.h"
#include "base/limits.h"
#include "cleanup/child_slot.h"
#include "cleanup/gate.h"
#include "cleanup/held_files.h"
#include "cleanup/remove_written.h"

// The run the console handler acts on: the one thing the handler's thread finds without being
// handed it.
static RunContext* volatile shutdown_published_run = nullptr;

void cleanup_shutdown(RunContext* run) {
  HandleOwner child(cleanup_child_take(run));
  // A failed wait is treated like a time-out; a failed termination is not looked at.
  if (child && WaitForSingleObject(child.get(), ZB_CHILD_GRACE_MS) != WAIT_OBJECT_0) {
    // What an interrupted program returns: a run ended here is never reported as a success.
    TerminateProcess(child.get(), /* uExitCode */ STATUS_CONTROL_C_EXIT);
  }
  // The application has ended (or is ending): its files need holding no longer, and removal
  // could not delete them while held.
  held_files_close_all(&run->held);
  if (!run->remove_directory) return;
  uint32_t calls = 0;
  cleanup_remove_written_retrying(run->payload_directory, run->written_table,
                                  run->written_entries, &calls);
}

void cleanup_publish_run(RunContext* run) {
  InterlockedExchangePointer((void* volatile*)&shutdown_published_run, run);
}

BOOL WINAPI cleanup_console_handler(DWORD control_type) {
  RunContext* run = shutdown_published_run;
  if (run == nullptr) return FALSE;
  switch (control_type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      // Decision: the program has the event too and decides itself whether it ends (a
      // read-eval-print loop only cancels its line); the launcher keeps waiting for it and
      // removes the directory when it ends, however it ends. TRUE: the system's default
      // handling must not end the launcher under the running program.
      if (run->program_started) return TRUE;
      cleanup_gate_stop(run);
      cleanup_shutdown(run);
      break;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      cleanup_gate_stop(run);
      cleanup_shutdown(run);
      break;
    default:
      break;
  }
  return FALSE;
}
