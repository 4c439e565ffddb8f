// Runs a launcher on the console this program was given (under Wine: started in a pty; a
// console made without one cannot be read) and reads that console's screen while it runs:
// starts LAUNCHER with the console as standard output and error, and reads the cursor's row
// of the screen every 10 ms until it ends.
//   console_screen REPORT LAUNCHER
// The launcher gets TEMP=REPORT\tmp and ZOBRIN_TEST_REPORT=REPORT. Writes to REPORT\screen.txt,
// one a line: "seen: TEXT" for each different row text read while it ran
// (trailing spaces dropped, empty rows left out), then "final: TEXT" and "exit: CODE". Exit
// code 0 when the launcher ended within 120 s.
#include <stdio.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

// The screen's row `y`, trailing spaces dropped.
static void screen_row(HANDLE screen, SHORT y, wchar_t* row, DWORD columns) {
  DWORD read = 0;
  COORD origin = {0, y};
  if (!ReadConsoleOutputCharacterW(screen, row, columns - 1, origin, &read)) read = 0;
  while (read > 0 && row[read - 1] == L' ') read--;
  row[read] = L'\0';
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int argc = *__p___argc();
  wchar_t** argv = *__p___wargv();
  if (argc != 3) return 100;
  wchar_t path[MAX_PATH];
  swprintf(path, MAX_PATH, L"%ls\\tmp", argv[1]);
  CreateDirectoryW(path, nullptr);
  SetEnvironmentVariableW(L"TEMP", path);
  SetEnvironmentVariableW(L"TMP", path);
  SetEnvironmentVariableW(L"ZOBRIN_TEST_REPORT", argv[1]);
  swprintf(path, MAX_PATH, L"%ls\\screen.txt", argv[1]);
  FILE* out = _wfopen(path, L"w");
  if (out == nullptr) return 101;
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE screen = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                              nullptr);
  if (screen == INVALID_HANDLE_VALUE) return 102;
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(screen, &info)) return 104;
  SHORT y = info.dwCursorPosition.Y;
  wchar_t command[4200];
  swprintf(command, 4200, L"\"%ls\"", argv[2]);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = screen;
  startup.hStdError = screen;
  PROCESS_INFORMATION launcher = {};
  if (!CreateProcessW(argv[2], command, nullptr, nullptr, /* bInheritHandles */ TRUE, 0, nullptr,
                      nullptr, &startup, &launcher)) {
    return 103;
  }
  static wchar_t row[256], last[256];
  last[0] = L'\0';
  DWORD waited = WAIT_TIMEOUT;
  for (int i = 0; i < 12000 && waited == WAIT_TIMEOUT; i++) {
    waited = WaitForSingleObject(launcher.hProcess, 10);
    screen_row(screen, y, row, 256);
    if (row[0] != L'\0' && wcscmp(row, last) != 0) {
      fprintf(out, "seen: %ls\n", row);
      wcscpy(last, row);
    }
  }
  if (waited != WAIT_OBJECT_0) {
    TerminateProcess(launcher.hProcess, 1);
    fprintf(out, "timeout\n");
    return 105;
  }
  screen_row(screen, y, row, 256);
  DWORD code = 0;
  GetExitCodeProcess(launcher.hProcess, &code);
  fprintf(out, "final: %ls\nexit: %lu\n", row, (unsigned long)code);
  fclose(out);
  return 0;
}
