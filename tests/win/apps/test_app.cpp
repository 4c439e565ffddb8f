// A packaged application's main DLL for tests. It says hello on stdout and, steered by
// environment variables, reports what it was given, waits, starts the launcher again or
// returns a chosen exit code:
//   ZOBRIN_TEST_REPORT=DIR   writes DIR\args.bin (each argument, UTF-16, NUL-terminated),
//                            DIR\info.txt (DLL path and the launcher's variables, UTF-8) and
//                            DIR\files.txt (every file below the DLL's directory: name, size,
//                            FNV-1a hash)
//   ZOBRIN_TEST_CATCH=1      catches Ctrl+C and Ctrl+Break, as a read-eval-print loop does:
//                            writes DIR\caught and carries on
//   ZOBRIN_TEST_SLEEP=MS     writes its process id to DIR\ready, then sleeps
//   ZOBRIN_TEST_GO=PATH      writes its process id to DIR\ready, then waits (up to 120 s) for
//                            PATH to exist
//   ZOBRIN_TEST_RELAUNCH=DIR starts this executable again, reporting to DIR, and returns its
//                            exit code
//   ZOBRIN_TEST_SPAWN=CMD    starts the command line CMD and goes on without waiting for it
//   ZOBRIN_TEST_EXIT=N       the exit code (decimal or 0x hexadecimal), all 32 bits
// Built with ZOBRIN_TEST_PROGRAM it is an ordinary program instead (a console one entering at
// wmain, or with ZOBRIN_TEST_WINDOWED a windowed one entering at wWinMain), its own path
// standing for the DLL's: it says "hello from the program", and ZOBRIN_TEST_RELAUNCH starts
// the executable ZOBRIN_TEST_RELAUNCH_EXE names.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

namespace {

bool app_env(const wchar_t* name, wchar_t* value, DWORD capacity) {
  DWORD n = GetEnvironmentVariableW(name, value, capacity);
  return n > 0 && n < capacity;
}

void app_write(const wchar_t* path, const void* data, DWORD size, bool append) {
  HANDLE file = CreateFileW(path, append ? FILE_APPEND_DATA : GENERIC_WRITE, 0, nullptr,
                            append ? OPEN_ALWAYS : CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, data, size, &written, nullptr);
  CloseHandle(file);
}

void app_write_utf8(const wchar_t* path, const wchar_t* text) {
  char buffer[65536];
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, sizeof buffer, nullptr, nullptr);
  if (n > 0) app_write(path, buffer, (DWORD)(n - 1), true);
}

void app_join(wchar_t* out, const wchar_t* dir, const wchar_t* name) {
  swprintf(out, 32768, L"%ls\\%ls", dir, name);
}

// Lists every file below `dir` as "relative-name size hash" lines into `report`.
void app_list(const wchar_t* dir, const wchar_t* prefix, const wchar_t* report) {
  static wchar_t pattern[32768];
  app_join(pattern, dir, L"*");
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(pattern, &found);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) continue;
    wchar_t* path = (wchar_t*)malloc(32768 * sizeof(wchar_t));
    wchar_t* name = (wchar_t*)malloc(32768 * sizeof(wchar_t));
    app_join(path, dir, found.cFileName);
    swprintf(name, 32768, L"%ls%ls", prefix, found.cFileName);
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      wchar_t* sub = (wchar_t*)malloc(32768 * sizeof(wchar_t));
      swprintf(sub, 32768, L"%ls\\", name);
      app_list(path, sub, report);
      free(sub);
    } else {
      unsigned long long hash = 1469598103934665603ull;
      unsigned long long size = 0;
      HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                nullptr);
      static unsigned char buffer[65536];
      DWORD got = 0;
      while (file != INVALID_HANDLE_VALUE && ReadFile(file, buffer, sizeof buffer, &got, nullptr) &&
             got > 0) {
        for (DWORD i = 0; i < got; i++) hash = (hash ^ buffer[i]) * 1099511628211ull;
        size += got;
      }
      if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
      wchar_t line[33000];
      swprintf(line, 33000, L"%ls %llu %016llx\n", name, size, hash);
      app_write_utf8(report, line);
    }
    free(path);
    free(name);
  } while (FindNextFileW(find, &found));
  FindClose(find);
}

void app_report(const wchar_t* dir, int argc, wchar_t** argv, const wchar_t* dll_path) {
  static wchar_t path[32768];
  app_join(path, dir, L"args.bin");
  app_write(path, L"", 0, false);
  for (int i = 0; i < argc; i++) {
    app_write(path, argv[i], (DWORD)((wcslen(argv[i]) + 1) * sizeof(wchar_t)), true);
  }
  app_join(path, dir, L"info.txt");
  app_write(path, "", 0, false);
  static wchar_t line[40000];
  swprintf(line, 40000, L"dll=%ls\n", dll_path);
  app_write_utf8(path, line);
  const wchar_t* names[] = {L"ZOBRIN_ONEFILE_PARENT", L"ZOBRIN_ONEFILE_TIME_US",
                            L"ZOBRIN_ONEFILE_RANDOM", L"ZOBRIN_ONEFILE_START",
                            L"ZOBRIN_ONEFILE_DIRECTORY", L"ZOBRIN_ORIGINAL_ARGV0"};
  for (const wchar_t* name : names) {
    static wchar_t value[32768];
    if (!app_env(name, value, 32768)) wcscpy(value, L"<unset>");
    swprintf(line, 40000, L"%ls=%ls\n", name, value);
    app_write_utf8(path, line);
  }
  app_join(path, dir, L"files.txt");
  app_write(path, "", 0, false);
  static wchar_t top[32768];
  wcscpy(top, dll_path);
  wchar_t* last = wcsrchr(top, L'\\');
  if (last != nullptr) *last = L'\0';
  app_list(top, L"", path);
}

}  // namespace

namespace {

wchar_t app_caught[32768];

BOOL WINAPI app_catch(DWORD) {
  app_write(app_caught, "caught", 6, false);
  return TRUE;
}

}  // namespace

#ifdef ZOBRIN_TEST_PROGRAM
#define APP_GREETING "hello from the program\n"
#define APP_ENTRY static
#else
#define APP_GREETING "hello from run_code\n"
#define APP_ENTRY extern "C" __declspec(dllexport)
#endif

APP_ENTRY int run_code(int argc, wchar_t** argv, const wchar_t* dll_path) {
  printf(APP_GREETING);
  fflush(stdout);
  static wchar_t value[32768];
  static wchar_t report[32768];
  bool reporting = app_env(L"ZOBRIN_TEST_REPORT", report, 32768);
  if (reporting) app_report(report, argc, argv, dll_path);
  if (app_env(L"ZOBRIN_TEST_CATCH", value, 32768)) {
    app_join(app_caught, reporting ? report : L".", L"caught");
    SetConsoleCtrlHandler(app_catch, TRUE);
  }
  if (app_env(L"ZOBRIN_TEST_SLEEP", value, 32768)) {
    static wchar_t ready[32768];
    app_join(ready, reporting ? report : L".", L"ready");
    char pid[32];
    int length = snprintf(pid, sizeof pid, "%lu", (unsigned long)GetCurrentProcessId());
    app_write(ready, pid, (DWORD)length, false);
    Sleep((DWORD)wcstoul(value, nullptr, 10));
  }
  if (app_env(L"ZOBRIN_TEST_GO", value, 32768)) {
    static wchar_t ready[32768];
    app_join(ready, reporting ? report : L".", L"ready");
    char pid[32];
    int length = snprintf(pid, sizeof pid, "%lu", (unsigned long)GetCurrentProcessId());
    app_write(ready, pid, (DWORD)length, false);
    for (int i = 0; i < 12000 && GetFileAttributesW(value) == INVALID_FILE_ATTRIBUTES; i++) {
      Sleep(10);
    }
  }
  if (app_env(L"ZOBRIN_TEST_SPAWN", value, 32768)) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, value, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
      return 96;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  if (app_env(L"ZOBRIN_TEST_RELAUNCH", value, 32768)) {
    SetEnvironmentVariableW(L"ZOBRIN_TEST_RELAUNCH", nullptr);
    SetEnvironmentVariableW(L"ZOBRIN_TEST_REPORT", value);
    static wchar_t self[32768];
    if (!app_env(L"ZOBRIN_TEST_RELAUNCH_EXE", self, 32768)) GetModuleFileNameW(nullptr, self, 32768);
    static wchar_t command[32768];
    swprintf(command, 32768, L"\"%ls\" again", self);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(self, command, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process)) {
      return 97;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 98;
    GetExitCodeProcess(process.hProcess, &code);
    return (int)code;
  }
  if (app_env(L"ZOBRIN_TEST_EXIT", value, 32768)) return (int)wcstoul(value, nullptr, 0);
  return 0;
}

#ifdef ZOBRIN_TEST_PROGRAM
static int app_program_main(void) {
  static wchar_t self[32768];
  GetModuleFileNameW(nullptr, self, 32768);
  return run_code(*__p___argc(), *__p___wargv(), self);
}
#ifdef ZOBRIN_TEST_WINDOWED
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return app_program_main(); }
#else
int wmain(int, wchar_t**) { return app_program_main(); }
#endif
#endif
