#include "bootstrap/driver.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

#include "bootstrap/extract.h"
#include "base/fatal.h"
#include "bootstrap/launch.h"
#include "base/limits.h"
#include "bootstrap/payload_reader.h"
#include "bootstrap/role.h"
#include "cleanup/shared_state.h"
#include "cleanup/shutdown.h"
#include "paths/env.h"
#include "paths/shell.h"
#include "paths/template.h"

static const wchar_t DRIVER_DIRECTORY_TEMPLATE[] = L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}";

// Parent role only: fresh TIME, TIME_US and RANDOM for the expansion, and this process's id
// as ZOBRIN_ONEFILE_PARENT (replacing whatever was inherited).
static void driver_prepare_parent_environment(void) {
  env_unset(ENV_START);
  env_unset(ENV_TIME_US);
  env_unset(ENV_RANDOM);
  char id[ZB_PID_TEXT_BYTES];
  snprintf(id, sizeof id, "%ld", (long)GetCurrentProcessId());
  wchar_t id_wide[ZB_PID_TEXT_BYTES] = {0};
  env_name_to_wide(id_wide, ZB_PID_TEXT_BYTES, id);
  env_set(ENV_PARENT, id_wide);
}

// Expands the payload directory and makes it absolute. The expansion's failure is reported
// only after the copy, so the message and the directory agree with what was written.
static void driver_compute_payload_directory(wchar_t* scratch) {
  bool expanded = template_expand(payload_directory, DRIVER_DIRECTORY_TEMPLATE, ZB_PATH_UNITS);
  DWORD length = GetFullPathNameW(payload_directory, ZB_PATH_UNITS, scratch,
                                  /* lpFilePart */ nullptr);
  if (length == 0 || length >= ZB_PATH_UNITS) fatal_bounds_abort();
  size_t written = wcslen(scratch);
  if (written >= ZB_PATH_UNITS) fatal_bounds_abort();
  memcpy(payload_directory, scratch, (written + 1) * sizeof(wchar_t));
  if (!expanded) fatal_expand_error(DRIVER_DIRECTORY_TEMPLATE);
}

int driver_run(void) {
  int argc = *__p___argc();
  wchar_t** argv = *__p___wargv();
  SetDllDirectoryW(L"");

  wchar_t scratch[ZB_ENV_VALUE_UNITS];
  bool parent_role = !role_started_by_parent(scratch, ZB_ENV_VALUE_UNITS);
  if (parent_role) {
    // Shell32 brings msvcrt.dll with it; loaded before the first environment change, the
    // parent updates the same runtime copies as when shell32 was imported.
    shell_load();
    driver_prepare_parent_environment();
  }
  driver_compute_payload_directory(scratch);
  if (parent_role && !SetConsoleCtrlHandler(cleanup_console_handler, /* Add */ TRUE)) {
    fatal_exit("Error, failed to register signal handler.");
  }
  payload_open();
  extract_walk(parent_role);
  if (!parent_role) return launch_child(argc, argv);
  return launch_parent(argv);
}
