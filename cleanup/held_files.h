// The held files: executable files of the payload directory kept open for reading, shared for
// reading only, from their check (or their writing) until the application has ended, so that
// no one writes, renames or deletes them in between and what loads is what was checked or
// written. The loader opens an image for reading and executing, shared for reading: it still
// can. They are closed before the payload directory is removed (cleanup/shutdown.h).
#pragma once

#include <stdint.h>
#include <windows.h>

// A zeroed one (`HeldFiles held = {}`) holds nothing and has no room. Its lock orders the
// threads that add (the closer's, the verifier's) with the one that closes them all (the main
// thread or the console handler).
struct HeldFiles {
  SRWLOCK lock;
  HANDLE* handles;
  uint32_t count;
  uint32_t capacity;
  // Set by held_files_close_all until held_files_reserve: a handle added then is closed at once.
  bool closed;
};

// Makes room for `capacity` handles in all, for the adders to come. Main thread, while no
// other thread adds. Fatal: memory error.
void held_files_reserve(HeldFiles* held, uint32_t capacity);

// Takes over `file` and keeps it open until held_files_close_all; closes it at once when that
// has run already. False (and `file` closed) when no room is left. Any thread.
bool held_files_add(HeldFiles* held, HANDLE file);

// Closes every handle held, now and added later (until the next held_files_reserve). Any
// thread; the end of a run, a fatal exit, an interrupt, a check that failed.
void held_files_close_all(HeldFiles* held);

// True when the `count` bytes at `bytes` begin a PE image (a program or DLL): "MZ". The one
// test of "executable file" the launcher makes, by the file's content and not its name.
bool held_files_is_image(const unsigned char* bytes, uint64_t count);
