// The launcher's threads: each started, joined and its handle owned through one Thread, and
// CreateThread called in this one file. A pool (base/thread_pool.h) holds several alike.
#pragma once

#include <stdint.h>
#include <windows.h>

#include "base/handle.h"

// What a thread runs, with the context it was started with.
typedef DWORD(WINAPI* ThreadMain)(void* context);

// A zeroed one (`Thread thread = {}`) runs nothing. Owned by the thread that started it.
struct Thread {
  HandleOwner handle;
};

// Starts `main(context)` on a new thread, with `stack_bytes` of stack reserved (0: the
// image's default). False, and nothing runs, when the thread cannot be created or one runs
// already. Never fatal.
bool thread_start(Thread* thread, ThreadMain main, void* context, uint32_t stack_bytes);

// True from a successful start until the join.
bool thread_started(const Thread* thread);

// Waits at most `timeout_ms` (INFINITE: until it ends) for a started thread, then closes its
// handle whether it ended or not (the thread, if still running, goes on alone). True when it
// ended in time or none was started. Never fatal.
bool thread_join(Thread* thread, DWORD timeout_ms);
