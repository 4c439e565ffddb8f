#include "base/thread_pool.h"

#include <windows.h>

uint32_t thread_pool_size(uint32_t most) {
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  uint32_t size = system.dwNumberOfProcessors;
  if (size > most) size = most;
  if (size > ZB_POOL_THREADS_MAX) size = ZB_POOL_THREADS_MAX;
  return size < 1 ? 1 : size;
}

bool thread_pool_add(ThreadPool* pool, ThreadMain main, void* context, uint32_t stack_bytes) {
  if (pool->count == ZB_POOL_THREADS_MAX) return false;
  if (!thread_start(&pool->workers[pool->count], main, context, stack_bytes)) return false;
  pool->count++;
  return true;
}

bool thread_pool_wait(ThreadPool* pool, DWORD timeout_ms) {
  if (pool->count == 0) return true;
  HANDLE handles[ZB_POOL_THREADS_MAX];
  for (uint32_t i = 0; i < pool->count; i++) handles[i] = pool->workers[i].handle.get();
  return WaitForMultipleObjects(pool->count, handles, /* bWaitAll */ TRUE, timeout_ms) !=
         WAIT_TIMEOUT;
}

void thread_pool_join(ThreadPool* pool) {
  for (uint32_t i = 0; i < pool->count; i++) thread_join(&pool->workers[i], INFINITE);
  pool->count = 0;
}
