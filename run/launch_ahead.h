// The DLL mode's child started ahead: created suspended on a thread of its own while the
// parent extracts the payload or checks the cached copy, and resumed once that is done, so
// that the system's process creation overlaps the parent's own work.
#pragma once

#include <windows.h>

#include "base/thread.h"
#include "cleanup/run_context.h"
#include "run/launch.h"

// A zeroed one (`LaunchAhead ahead = {}`) has nothing ahead.
struct LaunchAhead {
  // The launch the child belongs to; null when nothing is ahead.
  Launch* launch;
  // The thread that creates the child, until it is joined.
  Thread thread;
  // The child's environment block (heap; null: this process's), until the thread is joined.
  wchar_t* environment;
  // Set by the thread: the child, suspended, and the job it was created in; zero when it was
  // not created.
  PROCESS_INFORMATION created;
  HANDLE job;
};

// Parent role, DLL mode, with launch->app prepared: publishes the child's variables
// (launch_parent_prepare), builds its command line and environment, and starts the thread
// that creates the child. From here on, until launch_ahead_finish, this process's environment
// must not change: the child already has its copy. The child is created only inside its job
// from the first instant (Windows 10 and later, Wine), so that however the parent ends, the
// child ends with it without having run. Fatal: as launch_build_command_line and
// app_settings_environment.
void launch_ahead_begin(LaunchAhead* ahead, Launch* launch, wchar_t** argv);

// True between launch_ahead_begin and the finish or cancel.
bool launch_ahead_begun(const LaunchAhead* ahead);

// Waits for the thread. The child it created is resumed inside the run's gate and published
// in the child slot; when it created none, the child is started as launch_start does, which
// reports a failure. Returns the child's process handle. Fatal: as launch_start.
HandleOwner launch_ahead_finish(LaunchAhead* ahead, RunContext* run);

// Waits for the thread and ends the child it created, if any, waiting (ZB_CHILD_GRACE_MS at
// most) until it is gone, so that it holds nothing of the payload directory. For a run that
// extracts its cached copy after all and for the parent's fatal exits. Never fatal.
void launch_ahead_cancel(LaunchAhead* ahead);
