// Launching the application: the child loads its main DLL; the parent starts the child, or
// in the program mode the program itself.
#pragma once

#include <windows.h>

#include "base/handle.h"
#include "base/limits.h"
#include "cleanup/run_context.h"
#include "run/app_settings.h"

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
  // The application's settings (app_settings_prepare done), applied to what launch_start
  // starts; null: none.
  AppSettings* app;
};

// Child role: loads `dll_path`, with its own folder searched first for the DLLs it needs, then
// `payload_directory` (added to the DLL search), and returns
// what its run_code returns. Fatal: "Error, load DLL." (with the system error), "Error, DLL
// entry point not found.".
int launch_child(const wchar_t* payload_directory, const wchar_t* dll_path, int argc,
                 wchar_t** argv);

// Parent role: publishes ZOBRIN_ONEFILE_DIRECTORY and ZOBRIN_ORIGINAL_ARGV0, starts this
// executable again as the child (or `program`, when not null: the program mode's main program
// below the payload directory) as launch_start does. Returns the child's process handle.
// Fatal: as launch_start; abort when the own path cannot be read.
HandleOwner launch_parent_start(Launch* launch, RunContext* run, wchar_t** argv,
                                const wchar_t* program);

// Starts `application` with this process's arguments re-quoted, element 0 replaced by
// `application` and the application's fixed arguments after it, the same standard handles,
// and the environment and current directory with the application's settings applied (those
// of this process where none are packed; launch->app), in a job that ends it when
// this process ends (processes the application starts leave the job; without a job when none
// can be had), and publishes it in the run's child slot; a program (any `application` but
// launch->module_path) also marks the run's program as started, which leaves Ctrl+C and
// Ctrl+Break to it (cleanup/shutdown.h). Returns its process handle. The
// parent role starts its child with it, the program mode's child role the program. The start
// passes the run's gate (cleanup/gate.h): after an interrupt nothing starts, and the call
// does not return. Fatal: "Error, couldn't launch child" (with the system error; also for a
// command line too long to pass on, or one that cannot be split, or a process that cannot be
// resumed); as app_settings_environment.
HandleOwner launch_start(Launch* launch, RunContext* run, const wchar_t* application);

// The steps of launch_parent_start, which a start ahead (run/launch_ahead.h) takes apart.

// Parent role: publishes ZOBRIN_ONEFILE_DIRECTORY and ZOBRIN_ORIGINAL_ARGV0 for the child.
// Abort when the own path cannot be read.
void launch_parent_prepare(Launch* launch, wchar_t** argv);

// Builds the command line of `application` into launch->command_line (as launch_start
// describes). Fatal: "Error, couldn't launch child" (ERROR_FILENAME_EXCED_RANGE) when it does
// not fit.
void launch_build_command_line(Launch* launch, const wchar_t* application);

// A job that ends its processes once its last handle closes: the parent's, at the parent's
// end, however it ends. The application's own processes leave it silently and live on as
// they would without it. Not inheritable, so no other process can keep it open. Empty when it
// cannot be made.
HandleOwner launch_job_create(void);

// CreateProcessW of `application`, suspended, with launch->command_line, `environment` (null:
// this process's), the settings' working folder, this process's standard handles and
// `attributes` (null: none), tried again after Wine's spurious ERROR_INTERNAL_ERROR. True with
// *process filled; false with the system's error in *error. Never fatal: safe on any thread.
bool launch_create_suspended(Launch* launch, const wchar_t* application, wchar_t* environment,
                             LPPROC_THREAD_ATTRIBUTE_LIST attributes,
                             PROCESS_INFORMATION* process, DWORD* error);

// Resumes the suspended process `created` (its handles taken, *created zeroed) and publishes
// it in the child slot as launch_start does; the caller is inside the run's gate. Returns its
// process handle. Fatal: "Error, couldn't launch child" when it cannot be resumed (it is
// ended).
HandleOwner launch_resume(Launch* launch, RunContext* run, const wchar_t* application,
                          PROCESS_INFORMATION* created);

// Parent role: waits for the child `process` to end and returns its exit code (1 when it
// cannot be read).
int launch_parent_wait(const HandleOwner& process);
