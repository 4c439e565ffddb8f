#include "cleanup/child_slot.h"

#include "base/handle.h"

bool cleanup_child_publish(RunContext* run, HANDLE process) {
  HANDLE duplicate = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), process, GetCurrentProcess(), &duplicate,
                       /* dwDesiredAccess */ 0, /* bInheritHandle */ FALSE,
                       /* dwOptions */ DUPLICATE_SAME_ACCESS)) {
    return false;
  }
  HandleOwner previous(InterlockedExchangePointer(&run->child, duplicate));
  return true;
}

HANDLE cleanup_child_take(RunContext* run) {
  return InterlockedExchangePointer(&run->child, nullptr);
}

void cleanup_child_release(RunContext* run) {
  HandleOwner child(cleanup_child_take(run));
}
