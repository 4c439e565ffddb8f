#include "cleanup/shutdown.h"

#include "base/handle.h"
#include "base/limits.h"
#include "base/run_state.h"
#include "cleanup/child_slot.h"
#include "cleanup/gate.h"
#include "cleanup/remove_tree.h"

#ifdef ZOBRIN_TESTING
volatile LONG cleanup_removal_calls = 0;
volatile LONG cleanup_removal_pauses = 0;
#endif

void cleanup_shutdown(void) {
  HandleOwner child(cleanup_child_take());
  // A failed wait is treated like a time-out; a failed termination is not looked at.
  if (child && WaitForSingleObject(child.get(), ZB_CHILD_GRACE_MS) != WAIT_OBJECT_0) {
    TerminateProcess(child.get(), /* uExitCode */ 0);
  }
  if (!run_state.remove_directory) return;
  uint32_t calls = 0;
  bool removed = cleanup_remove_tree_retrying(run_state.payload_directory, &calls);
#ifdef ZOBRIN_TESTING
  InterlockedAdd(&cleanup_removal_calls, (LONG)calls);
  InterlockedAdd(&cleanup_removal_pauses, (LONG)(removed ? calls - 1 : calls));
#else
  (void)removed;
#endif
}

BOOL WINAPI cleanup_console_handler(DWORD control_type) {
  switch (control_type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      cleanup_gate_stop();
      cleanup_shutdown();
      break;
    default:
      break;
  }
  return FALSE;
}
