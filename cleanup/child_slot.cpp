#include "cleanup/child_slot.h"

#include "base/handle.h"
#include "base/run_state.h"

bool cleanup_child_publish(HANDLE process) {
  HANDLE duplicate = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), process, GetCurrentProcess(), &duplicate,
                       /* dwDesiredAccess */ 0, /* bInheritHandle */ FALSE,
                       /* dwOptions */ DUPLICATE_SAME_ACCESS)) {
    return false;
  }
  HandleOwner previous(InterlockedExchangePointer(&run_state.child, duplicate));
  return true;
}

HANDLE cleanup_child_take(void) {
  return InterlockedExchangePointer(&run_state.child, nullptr);
}

void cleanup_child_release(void) {
  HandleOwner child(cleanup_child_take());
}
