#include "bootstrap/driver.h"

#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

#include "base/fatal.h"
#include "base/limits.h"
#include "base/run_state.h"
#include "base/payload_format.h"
#include "base/wide_text.h"
#include "bootstrap/cache.h"
#include "bootstrap/extract.h"
#include "bootstrap/launch.h"
#include "bootstrap/payload_directory.h"
#include "bootstrap/payload_reader.h"
#include "bootstrap/role.h"
#include "cleanup/shutdown.h"
#include "cleanup/sweep.h"
#include "paths/env.h"
#include "paths/template.h"

static const wchar_t DRIVER_DIRECTORY_TEMPLATE[] = L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}";

// Parent role only: fresh TIME, TIME_US and RANDOM for the expansion, and this process's id
// as ZOBRIN_ONEFILE_PARENT (replacing whatever was inherited).
static void driver_prepare_parent_environment(void) {
  // Decision: a variable the process does not have is in none of the runtimes' copies, which
  // were all taken from the process environment and not changed since; its removal is
  // skipped, as each update of the copies costs about a millisecond under Wine.
  static const wchar_t* const names[] = {ENV_START, ENV_TIME_US, ENV_RANDOM};
  for (const wchar_t* name : names) {
    if (env_exists(name)) env_unset(name);
  }
  wchar_t id[ZB_PID_TEXT_UNITS];
  swprintf(id, ZB_PID_TEXT_UNITS, L"%ld", (long)GetCurrentProcessId());
  env_set(ENV_PARENT, id);
}

// Expands the payload directory into run_state and makes it absolute. Decision: the
// expansion's failure is reported before the full-path step, which would end the run without
// a message on the empty text a temporary directory that cannot be read leaves.
static void driver_compute_payload_directory(wchar_t* scratch) {
  wchar_t* directory = run_state.payload_directory;
  if (!template_expand(directory, DRIVER_DIRECTORY_TEMPLATE, ZB_PATH_UNITS)) {
    fatal_expand_error(DRIVER_DIRECTORY_TEMPLATE);
  }
  DWORD length = GetFullPathNameW(directory, ZB_PATH_UNITS, scratch, /* lpFilePart */ nullptr);
  if (length == 0 || length >= ZB_PATH_UNITS) fatal_bounds_abort();
  uint32_t written = 0;
  if (!wide_append_text(directory, ZB_PATH_UNITS, &written, scratch)) fatal_bounds_abort();
}

static void driver_redraw_payload_directory(void* scratch) {
  driver_compute_payload_directory(static_cast<wchar_t*>(scratch));
}

// Before a fatal exit of the parent: the file being written is closed, then the child (if
// any) is ended and the payload directory removed, as at the end of a run.
static void driver_clean_up_before_exit(void) {
  extract_release_file();
  cleanup_shutdown();
}

// Program mode, once the payload directory is final (a cached run has moved its copy into
// place): the program's path, from the table's first entry, into run_state.dll_path.
static const wchar_t* driver_locate_program(void) {
  payload_restart_table();
  extract_dll_path();
  return run_state.dll_path;
}

// Child role, with run_state.dll_path set: runs the main DLL, or in the program mode starts the
// program again from the parent's payload directory. Decision: the program-mode child keeps
// the console handler too, so an interrupt gives its program the parent's grace period
// instead of ending it with the child at once through the job.
static int driver_run_child(int argc, wchar_t** argv, bool program) {
  if (!program) return launch_child(argc, argv);
  if (!SetConsoleCtrlHandler(cleanup_console_handler, /* Add */ TRUE)) {
    fatal_exit("Error, failed to register signal handler.");
  }
  return launch_program_child();
}

// Parent role of the cached mode: the cache directory is checked and used as it stands, or
// filled afresh through a sibling that is moved into place. The parent's payload directory is
// the sibling throughout, removed (at the end, a failure or an interrupt) only while the
// removal flag is set: never once the sibling is the cache directory.
static int driver_run_cached_parent(wchar_t** argv, bool program) {
  cache_compute_paths();
  payload_open();
  bool whole = cache_prepare();
  if (!whole) {
    cache_create_sibling();
    run_state.remove_directory = true;
    fatal_set_cleanup(driver_clean_up_before_exit);
  }
  if (!SetConsoleCtrlHandler(cleanup_console_handler, /* Add */ TRUE)) {
    fatal_exit("Error, failed to register signal handler.");
  }
  if (!whole) {
    extract_walk();
    cache_install();
  }
  // The program starts from where the DLL mode's child would load its DLL.
  if (program) cache_choose_directory();
  return launch_parent(argv, program ? driver_locate_program() : nullptr);
}

int driver_run(void) {
  int argc = *__p___argc();
  wchar_t** argv = *__p___wargv();
  SetDllDirectoryW(L"");

  wchar_t scratch[ZB_ENV_VALUE_UNITS];
  bool parent_role = !role_started_by_parent(scratch, ZB_ENV_VALUE_UNITS);
  if (parent_role) driver_prepare_parent_environment();
  // Read before anything is created: unknown flags are the header error in either role.
  uint64_t flags = payload_linked_flags();
  bool program = (flags & ZB_RUN_FLAG_PROGRAM) != 0;
  if (flags & ZB_RUN_FLAG_CACHE) {
    if (parent_role) return driver_run_cached_parent(argv, program);
    cache_compute_paths();
    cache_choose_child_directory();
    payload_open();
    extract_dll_path();
    return driver_run_child(argc, argv, program);
  }
  driver_compute_payload_directory(scratch);
  if (!parent_role) {
    // The child takes the directory from the inherited environment and creates nothing.
    payload_open();
    extract_dll_path();
    return driver_run_child(argc, argv, program);
  }
  // The payload directory is final from here on: the console control handler may read it.
  payload_directory_create_new(run_state.payload_directory, driver_redraw_payload_directory,
                               scratch);
  // From here on every ending removes what this run wrote: shutdown, and the clean-up before
  // a fatal exit (a header, decode, open, write or launch error).
  run_state.remove_directory = true;
  fatal_set_cleanup(driver_clean_up_before_exit);
  if (!SetConsoleCtrlHandler(cleanup_console_handler, /* Add */ TRUE)) {
    fatal_exit("Error, failed to register signal handler.");
  }
  payload_open();
  extract_walk();
  // Leftovers of killed launchers are removed on a thread of their own while the child runs.
  cleanup_sweep_start();
  int exit_code = launch_parent(argv, program ? driver_locate_program() : nullptr);
  cleanup_sweep_join();
  return exit_code;
}
