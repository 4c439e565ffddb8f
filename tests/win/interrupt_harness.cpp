// Sends a real console interrupt to a running launcher: takes a console (which the launcher
// and its child then share), starts the launcher, waits until the application has written its
// process id to READY, raises CTRL_C for the console and waits for both to end.
//   interrupt_harness LAUNCHER READY
//   interrupt_harness LAUNCHER DIRECTORIES extracting NAME [BYTES]
// The second form raises CTRL_C instead while the launcher extracts: once a directory that
// matches the pattern DIRECTORIES (TEMP\onefile_*) holds NAME (a path below it) of at least
// BYTES bytes (default 0).
// Prints "launcher ended <code>" and "child ended", with " <code>" when the application wrote
// its process id (or what did not happen); exit code 0 when both ended within 30 s.
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

static BOOL WINAPI harness_ignore(DWORD) { return TRUE; }

// Polls (every millisecond, up to 30 s, while the launcher runs) for `directories` (a
// pattern such as TEMP\onefile_*) to match a directory that holds `name` of at least `bytes`
// bytes.
static bool harness_wait_for_entry(const wchar_t* directories, const wchar_t* name,
                                   unsigned long long bytes, HANDLE launcher) {
  static wchar_t path[4200];
  const wchar_t* last = wcsrchr(directories, L'\\');
  int parent = last != nullptr ? (int)(last - directories) : 0;
  for (int i = 0; i < 30000 && WaitForSingleObject(launcher, 0) == WAIT_TIMEOUT; i++) {
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(directories, &found);
    bool there = false;
    while (find != INVALID_HANDLE_VALUE && !there) {
      swprintf(path, 4200, L"%.*ls\\%ls\\%ls", parent, directories, found.cFileName, name);
      WIN32_FILE_ATTRIBUTE_DATA data;
      there = GetFileAttributesExW(path, GetFileExInfoStandard, &data) &&
              (((unsigned long long)data.nFileSizeHigh << 32) | data.nFileSizeLow) >= bytes;
      if (!FindNextFileW(find, &found)) break;
    }
    if (find != INVALID_HANDLE_VALUE) FindClose(find);
    if (there) return true;
    Sleep(1);
  }
  return false;
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int argc = *__p___argc();
  wchar_t** argv = *__p___wargv();
  bool extracting = (argc == 5 || argc == 6) && wcscmp(argv[3], L"extracting") == 0;
  if (argc != 3 && !extracting) return 100;
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
  if (extracting) {
    unsigned long long bytes = argc == 6 ? wcstoull(argv[5], nullptr, 10) : 0;
    if (!harness_wait_for_entry(argv[2], argv[4], bytes, launcher.hProcess)) {
      printf("the entry never appeared\n");
      TerminateProcess(launcher.hProcess, 0);
      return 107;
    }
  }
  for (int i = 0; !extracting && i < 600 && child_pid == 0; i++) {
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
  if (child_pid == 0 && !extracting) {
    printf("application never became ready\n");
    TerminateProcess(launcher.hProcess, 0);
    return 103;
  }
  HANDLE child = child_pid != 0 ? OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION,
                                              FALSE, child_pid)
                                : nullptr;
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
  if (child == nullptr) {
    printf("child ended\n");
  } else if (WaitForSingleObject(child, 30000) == WAIT_OBJECT_0) {
    DWORD code = 0;
    GetExitCodeProcess(child, &code);
    printf("child ended %lu\n", code);
  } else {
    printf("child still running\n");
    status = 106;
  }
  return status;
}
