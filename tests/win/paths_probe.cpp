// Calls the environment, template and path functions in a process of its own, so tests can
// watch the ones that end the process. Prints "1|text" or "0|text" (result and output) on
// standard output. On abort, a handler prints "abort|output so far|guard ok/broken" and the
// three published variables, then the abort goes on.
//   expand TEMPLATE CAPACITY | noargv0 TEMPLATE | append CAPACITY PREFIX TEXT | read NAME
//   final PATH CAPACITY 0/1 | short PATH CAPACITY | own | creator |
//   orphan EXE DIR (names itself in ZOBRIN_ONEFILE_PARENT, starts EXE suspended with its
//   output to DIR\out.txt and DIR\err.txt, prints "PID TID" and ends at once)
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

#include <string>

#include "base/fatal.h"
#include "base/limits.h"
#include "base/wide_text.h"
#include "paths/env.h"
#include "paths/path_utils.h"
#include "paths/template.h"
#include "run/role.h"
#include "tests/win/probe_text.h"

static const unsigned probe_guard_units = 16;
static const wchar_t probe_guard_unit = 0x7E7E;
static wchar_t probe_buffer[70000];
static unsigned probe_capacity = 0;

static void probe_print(const char* label, const wchar_t* text) {
  static char bytes[200000];
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof bytes, nullptr, nullptr);
  fputs(label, stdout);
  if (n > 0) fputs(bytes, stdout);
  fputs("\n", stdout);
  fflush(stdout);
}

static bool probe_guard_intact(void) {
  for (unsigned i = 0; i < probe_guard_units; i++) {
    if (probe_buffer[probe_capacity + i] != probe_guard_unit) return false;
  }
  return true;
}

static void probe_on_abort(int) {
  probe_print("abort|", probe_buffer);
  printf("guard %s\n", probe_guard_intact() ? "ok" : "broken");
  const wchar_t* names[] = {ENV_RANDOM, ENV_TIME_US, ENV_START};
  for (const wchar_t* name : names) {
    wchar_t value[64] = L"";
    GetEnvironmentVariableW(name, value, 64);
    printf("%s=", probe_ascii(name));
    probe_print("", value);
  }
  fflush(stdout);
}

// Fills the buffer past `capacity` with guard units; the text area gets a marker.
static wchar_t* probe_prepare(unsigned capacity) {
  probe_capacity = capacity;
  for (unsigned i = 0; i < capacity + probe_guard_units; i++) {
    probe_buffer[i] = i < capacity ? L'#' : probe_guard_unit;
  }
  return probe_buffer;
}

static void probe_result(bool ok) {
  probe_print(ok ? "1|" : "0|", probe_buffer);
  if (!probe_guard_intact()) puts("guard broken");
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  _set_abort_behavior(0, _CALL_REPORTFAULT);
  signal(SIGABRT, probe_on_abort);
  int argc = *__p___argc();
  wchar_t** argv = *__p___wargv();
  if (argc < 2) return 100;
  const wchar_t* what = argv[1];
  if (wcscmp(what, L"expand") == 0 && argc == 4) {
    unsigned capacity = (unsigned)wcstoul(argv[3], nullptr, 10);
    probe_result(template_expand(probe_prepare(capacity), argv[2], capacity));
    return 0;
  }
  if (wcscmp(what, L"noargv0") == 0 && argc == 3) {
    const wchar_t* path_template = argv[2];
    argv[0] = nullptr;
    probe_result(template_expand(probe_prepare(4096), path_template, 4096));
    return 0;
  }
  if (wcscmp(what, L"append") == 0 && argc == 5) {
    unsigned capacity = (unsigned)wcstoul(argv[2], nullptr, 10);
    wchar_t* buffer = probe_prepare(capacity);
    wcscpy(buffer, argv[3]);
    // Appended at the end of the text, as the launcher appends; a text that does not fit
    // ends the process, as there.
    uint32_t at = (uint32_t)wcsnlen(buffer, capacity);
    if (!wide_append_text(buffer, capacity, &at, argv[4])) fatal_bounds_abort();
    probe_result(true);
    return 0;
  }
  if (wcscmp(what, L"orphan") == 0 && argc == 4) {
    wchar_t id[32];
    swprintf(id, 32, L"%lu", (unsigned long)GetCurrentProcessId());
    SetEnvironmentVariableW(L"ZOBRIN_ONEFILE_PARENT", id);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    std::wstring dir = argv[3];
    HANDLE out = CreateFileW((dir + L"\\out.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                             &inherit, CREATE_ALWAYS, 0, nullptr);
    HANDLE err = CreateFileW((dir + L"\\err.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                             &inherit, CREATE_ALWAYS, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE || err == INVALID_HANDLE_VALUE) return 104;
    // Only the two files go to the child: this program's own pipes must close when it ends.
    for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
      SetHandleInformation(GetStdHandle(which), HANDLE_FLAG_INHERIT, 0);
    }
    std::wstring command = L"\"" + std::wstring(argv[2]) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(argv[2], &command[0], nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr,
                        nullptr, &startup, &process)) {
      return 105;
    }
    printf("%lu %lu\n", (unsigned long)process.dwProcessId, (unsigned long)process.dwThreadId);
    return 0;
  }
  if (wcscmp(what, L"creator") == 0 && argc == 2) {
    printf("1|%lu\n", (unsigned long)role_creator_id());
    return 0;
  }
  if (wcscmp(what, L"read") == 0 && argc == 3) {
    wchar_t* value = env_read(argv[2]);
    probe_print(value ? "1|" : "0|", value ? value : L"");
    return 0;
  }
  if (wcscmp(what, L"final") == 0 && argc == 5) {
    unsigned capacity = (unsigned)wcstoul(argv[3], nullptr, 10);
    wchar_t* buffer = probe_prepare(capacity);
    wcsncpy(buffer, argv[2], capacity);
    path_final_step(buffer, capacity, wcscmp(argv[4], L"1") == 0);
    probe_result(true);
    return 0;
  }
  if (wcscmp(what, L"short") == 0 && argc == 4) {
    unsigned capacity = (unsigned)wcstoul(argv[3], nullptr, 10);
    wchar_t* buffer = probe_prepare(capacity);
    wcsncpy(buffer, argv[2], capacity);
    path_short_directory(buffer, capacity);
    probe_result(true);
    return 0;
  }
  if (wcscmp(what, L"own") == 0) {
    static wchar_t own[ZB_OWN_PATH_UNITS];
    path_own_executable(own);
    probe_print("plain|", own);
    path_own_executable_resolved(own);
    probe_print("resolved|", own);
    return 0;
  }
  return 100;
}
