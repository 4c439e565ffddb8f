#include "cleanup/held_files.h"

#include <stdlib.h>

#include "base/fatal.h"
#include "base/handle.h"

void held_files_reserve(HeldFiles* held, uint32_t capacity) {
  AcquireSRWLockExclusive(&held->lock);
  held->closed = false;
  if (capacity > held->capacity) {
    HANDLE* grown =
        static_cast<HANDLE*>(realloc(held->handles, (size_t)capacity * sizeof(HANDLE)));
    if (grown == nullptr) {
      ReleaseSRWLockExclusive(&held->lock);
      fatal_exit(FATAL_MSG_MEMORY);
    }
    held->handles = grown;
    held->capacity = capacity;
  }
  ReleaseSRWLockExclusive(&held->lock);
}

bool held_files_add(HeldFiles* held, HANDLE file) {
  AcquireSRWLockExclusive(&held->lock);
  bool kept = !held->closed && held->count < held->capacity;
  if (kept) held->handles[held->count++] = file;
  bool room = held->closed || kept;
  ReleaseSRWLockExclusive(&held->lock);
  if (!kept) HandleOwner(file).reset();
  return room;
}

void held_files_close_all(HeldFiles* held) {
  AcquireSRWLockExclusive(&held->lock);
  held->closed = true;
  for (uint32_t i = 0; i < held->count; i++) CloseHandle(held->handles[i]);
  held->count = 0;
  ReleaseSRWLockExclusive(&held->lock);
}

bool held_files_is_image(const unsigned char* bytes, uint64_t count) {
  return count >= 2 && bytes[0] == 'M' && bytes[1] == 'Z';
}
