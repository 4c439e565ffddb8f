#include "cleanup/shutdown.h"

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
  HANDLE child = cleanup_child_take();
  if (child != nullptr) {
    // A failed wait is treated like a time-out; failures of the two calls after it are not
    // looked at.
    if (WaitForSingleObject(child, ZB_CHILD_GRACE_MS) != WAIT_OBJECT_0) {
      TerminateProcess(child, /* uExitCode */ 0);
    }
    CloseHandle(child);
  }
  if (!run_state.remove_directory) return;
  for (uint32_t attempt = 0; attempt < ZB_REMOVE_ATTEMPTS; attempt++) {
#ifdef ZOBRIN_TESTING
    InterlockedIncrement(&cleanup_removal_calls);
#endif
    if (cleanup_remove_tree(run_state.payload_directory)) return;
#ifdef ZOBRIN_TESTING
    InterlockedIncrement(&cleanup_removal_pauses);
#endif
    Sleep(ZB_REMOVE_PAUSE_MS);
  }
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
