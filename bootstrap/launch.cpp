#include "bootstrap/launch.h"

#include <string.h>
#include <wchar.h>
#include <windows.h>

#include "base/fatal.h"
#include "base/limits.h"
#include "base/run_state.h"
#include "base/wide_text.h"
#include "bootstrap/cache.h"
#include "bootstrap/command_line.h"
#include "cleanup/child_slot.h"
#include "cleanup/shutdown.h"
#include "paths/env.h"
#include "paths/path_utils.h"
#include "paths/shell.h"

static wchar_t launch_executable_directory[ZB_OWN_PATH_UNITS];
static wchar_t launch_module_path[ZB_PATH_UNITS];
static wchar_t launch_command_line[ZB_COMMAND_LINE_UNITS];

typedef int (*launch_entry_point)(int argc, wchar_t** argv, const wchar_t* dll_path);

int launch_child(int argc, wchar_t** argv) {
  AddDllDirectory(run_state.payload_directory);
  HMODULE dll = LoadLibraryExW(run_state.dll_path, /* hFile */ nullptr,
                               LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                                   LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (dll == nullptr) fatal_exit_code("Error, load DLL.", GetLastError());
  launch_entry_point entry = (launch_entry_point)(void*)GetProcAddress(dll, "run_code");
  if (entry == nullptr) fatal_exit("Error, DLL entry point not found.");
  return entry(argc, argv, run_state.dll_path);
}

int launch_parent(wchar_t** argv) {
  uint32_t own_length = 0;
  if (!wide_append_text(launch_executable_directory, ZB_OWN_PATH_UNITS, &own_length,
                        path_own_executable())) {
    fatal_bounds_abort();
  }
  wchar_t* last_separator = wcsrchr(launch_executable_directory, L'\\');
  if (last_separator != nullptr) *last_separator = L'\0';
  env_set(ENV_DIRECTORY, launch_executable_directory);
  env_set(ENV_ORIGINAL_ARGV0, argv[0]);

  path_module_file_name(launch_module_path, ZB_PATH_UNITS);
  const wchar_t* module = launch_module_path;
  STARTUPINFOW startup;
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof(STARTUPINFOW);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);

  int count = 0;
  wchar_t** elements = shell_command_line_to_argv(GetCommandLineW(), &count);
  if (elements == nullptr) fatal_exit_code("Error, couldn't launch child", GetLastError());
  elements[0] = (wchar_t*)module;
  // The system refuses command lines beyond 32767 units with this code; the launch stops
  // here the same way instead of passing on a cut line.
  if (!command_line_build(launch_command_line, ZB_COMMAND_LINE_UNITS, elements, count)) {
    fatal_exit_code("Error, couldn't launch child", ERROR_FILENAME_EXCED_RANGE);
  }

  PROCESS_INFORMATION process;
  memset(&process, 0, sizeof process);
  if (!CreateProcessW(module, launch_command_line, /* lpProcessAttributes */ nullptr,
                      /* lpThreadAttributes */ nullptr, /* bInheritHandles */ TRUE,
                      /* dwCreationFlags */ NORMAL_PRIORITY_CLASS, /* lpEnvironment */ nullptr,
                      /* lpCurrentDirectory */ nullptr, &startup, &process)) {
    fatal_exit_code("Error, couldn't launch child", GetLastError());
  }
  CloseHandle(process.hThread);
  cleanup_child_publish(process.hProcess);
  // Old versions of a cached application go while the child runs, not before it starts.
  cache_tidy();

  DWORD exit_code = 0;
  WaitForSingleObject(process.hProcess, INFINITE);
  if (!GetExitCodeProcess(process.hProcess, &exit_code)) exit_code = 1;
  CloseHandle(process.hProcess);
  cleanup_child_release();
  cleanup_shutdown();
  return (int)exit_code;
}
