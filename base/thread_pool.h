// A pool of worker threads for one job that splits across the processors: the stream's frames
// decoded side by side, the cached copy's files hashed side by side. The job's own state (what
// is left, when to stop) is the caller's; the pool starts the workers and joins them all.
#pragma once

#include <stdint.h>

#include "base/thread.h"

// The most workers a pool holds: as many as the frames or the cache check use.
constexpr uint32_t ZB_POOL_THREADS_MAX = 8;

// A zeroed one (`ThreadPool pool = {}`) holds no worker.
struct ThreadPool {
  Thread workers[ZB_POOL_THREADS_MAX];
  uint32_t count;
};

// How many workers a job may use: the processors' count, at least 1 and at most `most` (and
// ZB_POOL_THREADS_MAX).
uint32_t thread_pool_size(uint32_t most);

// Starts one more worker running `main(context)` with `stack_bytes` of stack reserved (0: the
// image's default). False when the pool is full or the thread cannot be created: the job then
// runs on fewer. Never fatal.
bool thread_pool_add(ThreadPool* pool, ThreadMain main, void* context, uint32_t stack_bytes);

// Waits at most `timeout_ms` for every worker to end; true when they all have (or the pool is
// empty). The pool keeps them either way.
bool thread_pool_wait(ThreadPool* pool, DWORD timeout_ms);

// Waits until every worker has ended and closes their handles; the pool is empty afterwards.
void thread_pool_join(ThreadPool* pool);
