#include "cleanup/shared_state.h"

wchar_t payload_directory[ZB_PATH_UNITS];

static HANDLE volatile cleanup_child_slot = nullptr;

bool cleanup_child_publish(HANDLE process) {
  HANDLE duplicate = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), process, GetCurrentProcess(), &duplicate,
                       /* dwDesiredAccess */ 0, /* bInheritHandle */ FALSE,
                       /* dwOptions */ DUPLICATE_SAME_ACCESS)) {
    return false;
  }
  HANDLE previous = InterlockedExchangePointer(&cleanup_child_slot, duplicate);
  if (previous != nullptr) CloseHandle(previous);
  return true;
}

HANDLE cleanup_child_take(void) {
  return InterlockedExchangePointer(&cleanup_child_slot, nullptr);
}

void cleanup_child_release(void) {
  HANDLE child = cleanup_child_take();
  if (child != nullptr) CloseHandle(child);
}
