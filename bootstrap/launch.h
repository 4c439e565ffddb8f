// Launching the application: the child loads its main DLL; the parent starts the child.
#pragma once

#include <windows.h>

#include "base/handle.h"
#include "base/limits.h"
#include "cleanup/run_context.h"

// The parent's launch: the texts it builds and the job the child runs in. Zeroed
// (`Launch launch = {}`) before launch_parent_start.
struct Launch {
  wchar_t executable_directory[ZB_OWN_PATH_UNITS];
  wchar_t module_path[ZB_PATH_UNITS];
  wchar_t command_line[ZB_COMMAND_LINE_UNITS];
  // One element of the parent's own command line at a time, while the child's is built.
  wchar_t element[ZB_COMMAND_LINE_UNITS];
  // The job the child runs in, or null. Never closed by the launcher: the system closes it
  // when the parent ends, however it ends, and that ends the child.
  HANDLE job;
};

// Child role: loads `dll_path`, with `payload_directory` added to the DLL search, and returns
// what its run_code returns. Fatal: "Error, load DLL." (with the system error), "Error, DLL
// entry point not found.".
int launch_child(const wchar_t* payload_directory, const wchar_t* dll_path, int argc,
                 wchar_t** argv);

// Parent role: publishes ZOBRIN_ONEFILE_DIRECTORY and ZOBRIN_ORIGINAL_ARGV0, starts this
// executable again as the child with the same arguments, standard handles and environment,
// in a job that ends it when the parent ends (processes the application starts leave the job;
// without a job when none can be had), and publishes it in the run's child slot. Returns the
// child's process handle. The start passes the run's gate (cleanup/gate.h): after an
// interrupt no child starts, and the call does not return. Fatal: "Error, couldn't launch
// child" (with the system error; also for a command line too long to pass on, or one that
// cannot be split, or a child that cannot be resumed), abort when the own path cannot be read.
HandleOwner launch_parent_start(Launch* launch, RunContext* run, wchar_t** argv);

// Parent role: waits for the child `process` to end and returns its exit code (1 when it
// cannot be read).
int launch_parent_wait(const HandleOwner& process);
