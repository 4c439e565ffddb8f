// The closer: files that extraction has finished writing are closed on a thread of its own,
// in the order they were handed over, so the walk goes on to the next file without waiting
// for a close (on Windows a scanner may examine a new file in the thread that closes it).
#pragma once

#include <windows.h>

// Starts the closer's thread with an empty ring of ZB_CLOSER_HANDLES handles. False when it
// runs already or the thread cannot be created: every handle handed over is then closed at
// once, on the caller's thread. Main thread only.
bool file_closer_start(void);

// Takes over `file`, an open handle the caller no longer uses, and closes it exactly once:
// queued for the thread (waiting for the one close that makes room while the ring is full),
// or closed at once when no thread runs. Main thread only.
void file_closer_hand(HANDLE file);

// Waits until every handle handed over is closed, then ends the thread; later hand-overs
// close at once. Does nothing when no thread runs. Main thread only; the end of the walk and
// the clean-up before a fatal exit.
void file_closer_finish(void);

// Waits at most `timeout_ms` until every handle handed over so far is closed; true when they
// all are. Any thread: for the console control handler once the main thread is stopped (the
// thread itself stays the main thread's to end).
bool file_closer_wait_closed(DWORD timeout_ms);

#ifdef ZOBRIN_TESTING
// True: file_closer_start fails as if the thread could not be created (false by default).
extern bool file_closer_thread_fails;
// Handles closed by the thread since the process started, for tests.
extern volatile LONG file_closer_thread_closes;
// An event the thread waits for before each close, or null (the default): tests hold the
// handles in the ring with it.
extern HANDLE file_closer_hold;
#endif
