#include "cleanup/shutdown.h"

#include "base/limits.h"
#include "bootstrap/payload_reader.h"
#include "cleanup/remove_tree.h"
#include "cleanup/shared_state.h"

volatile LONG cleanup_removal_calls = 0;
volatile LONG cleanup_removal_pauses = 0;

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
  if (payload_opened != 1) return;
  for (uint32_t attempt = 0; attempt < ZB_REMOVE_ATTEMPTS; attempt++) {
    InterlockedIncrement(&cleanup_removal_calls);
    if (cleanup_remove_tree(payload_directory)) return;
    InterlockedIncrement(&cleanup_removal_pauses);
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
      cleanup_shutdown();
      break;
    default:
      break;
  }
  return FALSE;
}
