// Plays the parent role around shutdown, so that a test can send it a real console control
// event: sets the payload directory, registers a recorder and then the launcher's handler
// (the handler registered last runs first), optionally opens an empty payload, optionally
// starts a child and publishes it, and writes "<child pid>" to READY. Then it runs the end of
// a parent launch: waits for its child, takes the exit code, releases the slot, runs
// shutdown and returns the child's code.
//   DIR READY REPORT opened|unopened [CHILD_EXE CHILD_ARGS...]
// The recorder runs after the launcher's handler has passed the event on; it writes
// "type T removals N\n" to REPORT: N, the removal passes, as RemoveDirectoryW calls on DIR
// that the fault seam counted.
#include <stdio.h>
#include <wchar.h>
#include <windows.h>

#include "base/fault_seam_query.h"
#include "cleanup/child_slot.h"
#include "cleanup/run_context.h"
#include "cleanup/shutdown.h"
#include "payload/payload_reader.h"

static RunContext probe_run;
static PayloadReader probe_reader;
static const wchar_t* probe_report_path = nullptr;
static HANDLE probe_recorded = nullptr;

static bool probe_write_file(const wchar_t* path, const char* text) {
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  WriteFile(file, text, (DWORD)strlen(text), &written, nullptr);
  CloseHandle(file);
  return true;
}

static BOOL WINAPI probe_recorder(DWORD control_type) {
  char text[128];
  snprintf(text, sizeof text, "type %lu removals %ld\n", (unsigned long)control_type,
           (long)fault_seam_watched_calls(L"RemoveDirectoryW"));
  probe_write_file(probe_report_path, text);
  SetEvent(probe_recorded);
  return FALSE;
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int argc = *__p___argc();
  wchar_t** argv = *__p___wargv();
  if (argc < 5 || wcslen(argv[1]) >= ZB_PATH_UNITS) return 100;
  wcscpy(probe_run.payload_directory, argv[1]);
  fault_seam_watch(argv[1]);
  cleanup_publish_run(&probe_run);
  probe_report_path = argv[3];
  probe_recorded = CreateEventW(nullptr, /* bManualReset */ TRUE, /* bInitialState */ FALSE,
                                nullptr);
  if (!SetConsoleCtrlHandler(probe_recorder, TRUE)) return 101;
  if (!SetConsoleCtrlHandler(cleanup_console_handler, TRUE)) return 102;
  if (wcscmp(argv[4], L"opened") == 0) {
    static const unsigned char empty_payload[16] = {0};
    payload_open_array(&probe_reader, empty_payload, sizeof empty_payload);
    probe_run.remove_directory = true;
  }

  PROCESS_INFORMATION child = {};
  if (argc > 5) {
    wchar_t command[4096] = L"";
    for (int i = 5; i < argc; i++) {
      if (wcslen(command) + wcslen(argv[i]) + 4 >= 4096) return 103;
      if (i > 5) wcscat(command, L" ");
      wcscat(command, L"\"");
      wcscat(command, argv[i]);
      wcscat(command, L"\"");
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    if (!CreateProcessW(argv[5], command, nullptr, nullptr, /* bInheritHandles */ FALSE, 0,
                        nullptr, nullptr, &startup, &child)) {
      return 104;
    }
    CloseHandle(child.hThread);
    if (!cleanup_child_publish(&probe_run, child.hProcess)) return 105;
  }
  char ready[32];
  snprintf(ready, sizeof ready, "%lu\n", (unsigned long)child.dwProcessId);
  wchar_t ready_part[4200];
  swprintf(ready_part, 4200, L"%ls.part", argv[2]);
  if (!probe_write_file(ready_part, ready) || !MoveFileW(ready_part, argv[2])) return 106;

  DWORD code = 99;
  if (child.hProcess != nullptr) {
    WaitForSingleObject(child.hProcess, INFINITE);
    if (!GetExitCodeProcess(child.hProcess, &code)) code = 1;
    CloseHandle(child.hProcess);
    cleanup_child_release(&probe_run);
    cleanup_shutdown(&probe_run);
  }
  // The event is passed on to the recorder and then to the default handling, which ends the
  // process; without an event this program ends here after a minute.
  WaitForSingleObject(probe_recorded, 60000);
  return (int)code;
}
