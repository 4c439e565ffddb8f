// The closer: files that extraction has finished writing are closed on a thread of its own,
// in the order they were handed over, so the walk goes on to the next file without waiting
// for a close (on Windows a scanner may examine a new file in the thread that closes it).
#pragma once

#include <windows.h>

#include "base/limits.h"
#include "base/ring.h"
#include "base/thread.h"
#include "cleanup/held_files.h"

// One closer; a zeroed one (`FileCloser closer = {}`) has no thread and nothing queued.
struct FileCloser {
  // The main thread fills the slot the ring names while one is free; the thread closes the
  // slot it was handed and releases it only afterwards, so no slot is filled again while its
  // handle is being closed.
  Ring ring;
  HANDLE slots[ZB_CLOSER_HANDLES];
  // For a file to hold once closed: its name below `directory` (little-endian units, in the
  // payload table), else null.
  const unsigned char* hold_names[ZB_CLOSER_HANDLES];
  uint32_t hold_units[ZB_CLOSER_HANDLES];
  // Where the files to hold lie and what holds them; set before the first such hand-over.
  const wchar_t* directory;
  HeldFiles* held;
  // The system error of the first file that could not be held (0: none).
  volatile LONG hold_error;
  // Main thread only.
  Thread thread;
};

// Starts the closer's thread with an empty ring of ZB_CLOSER_HANDLES handles. False when it
// runs already or the thread cannot be created: every handle handed over is then closed at
// once, on the caller's thread. Main thread only.
bool file_closer_start(FileCloser* closer);

// Takes over `file`, an open handle the caller no longer uses, and closes it exactly once:
// queued for the thread (waiting for the one close that makes room while the ring is full),
// or closed at once when no thread runs. With `hold_name` (`hold_units` units below the
// closer's directory, the file's own name), the file is opened again right after its close,
// for reading and shared for reading only, and that handle goes to the closer's held files;
// one that cannot be is recorded in hold_error. Main thread only.
void file_closer_hand(FileCloser* closer, HANDLE file, const unsigned char* hold_name = nullptr,
                      uint32_t hold_units = 0);

// Waits until every handle handed over is closed, then ends the thread; later hand-overs
// close at once. Does nothing when no thread runs. Main thread only; the end of the walk and
// the clean-up before a fatal exit.
void file_closer_finish(FileCloser* closer);

// Waits at most `timeout_ms` until every handle handed over so far is closed; true when they
// all are. Any thread: for the console control handler once the main thread is stopped (the
// thread itself stays the main thread's to end).
bool file_closer_wait_closed(FileCloser* closer, DWORD timeout_ms);
