#include "base/thread.h"

bool thread_start(Thread* thread, ThreadMain main, void* context, uint32_t stack_bytes) {
  if (thread->handle) return false;
  // A size with this flag reserves the stack instead of committing it.
  DWORD flags = stack_bytes == 0 ? 0 : STACK_SIZE_PARAM_IS_A_RESERVATION;
  thread->handle.reset(CreateThread(/* lpThreadAttributes */ nullptr, stack_bytes, main,
                                    /* lpParameter */ context, flags, /* lpThreadId */ nullptr));
  return (bool)thread->handle;
}

bool thread_started(const Thread* thread) {
  return (bool)thread->handle;
}

bool thread_join(Thread* thread, DWORD timeout_ms) {
  if (!thread->handle) return true;
  bool ended = WaitForSingleObject(thread->handle.get(), timeout_ms) == WAIT_OBJECT_0;
  thread->handle.reset();
  return ended;
}
