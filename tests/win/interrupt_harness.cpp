// Sends a real console interrupt to a running launcher: takes a console (which the launcher
// and its child then share), starts the launcher, waits until the application has written its
// process id to READY, raises CTRL_C for the console and waits for both to end.
//   interrupt_harness LAUNCHER READY
// Prints "launcher ended <code>" and "child ended" (or what did not happen); exit code 0 when
// both ended within 30 s.
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

static BOOL WINAPI harness_ignore(DWORD) { return TRUE; }

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int argc = *__p___argc();
  wchar_t** argv = *__p___wargv();
  if (argc != 3) return 100;
  setvbuf(stdout, nullptr, _IONBF, 0);
  // Already attached (started from a console program) serves as well.
  AllocConsole();
  SetConsoleCtrlHandler(harness_ignore, TRUE);

  wchar_t command[4200];
  swprintf(command, 4200, L"\"%ls\"", argv[1]);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION launcher = {};
  if (!CreateProcessW(argv[1], command, nullptr, nullptr, /* bInheritHandles */ TRUE, 0, nullptr,
                      nullptr, &startup, &launcher)) {
    return 102;
  }
  DWORD child_pid = 0;
  for (int i = 0; i < 600 && child_pid == 0; i++) {
    HANDLE ready = CreateFileW(argv[2], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    if (ready != INVALID_HANDLE_VALUE) {
      char text[32] = {};
      DWORD got = 0;
      ReadFile(ready, text, sizeof text - 1, &got, nullptr);
      CloseHandle(ready);
      child_pid = strtoul(text, nullptr, 10);
    }
    if (child_pid == 0) Sleep(50);
  }
  if (child_pid == 0) {
    printf("application never became ready\n");
    TerminateProcess(launcher.hProcess, 0);
    return 103;
  }
  HANDLE child = OpenProcess(SYNCHRONIZE, FALSE, child_pid);
  if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) {
    printf("cannot raise CTRL_C: %lu\n", GetLastError());
    TerminateProcess(launcher.hProcess, 0);
    return 104;
  }
  int status = 0;
  if (WaitForSingleObject(launcher.hProcess, 30000) == WAIT_OBJECT_0) {
    DWORD code = 0;
    GetExitCodeProcess(launcher.hProcess, &code);
    printf("launcher ended %lu\n", code);
  } else {
    printf("launcher still running\n");
    TerminateProcess(launcher.hProcess, 0);
    status = 105;
  }
  if (child == nullptr || WaitForSingleObject(child, 30000) == WAIT_OBJECT_0) {
    printf("child ended\n");
  } else {
    printf("child still running\n");
    status = 106;
  }
  return status;
}
