// The benchmark application's main DLL: run_code returns 0 at once. When
// ZOBRIN_BENCH_MEMORY_FILE names a file, it first appends one line to it with this process's
// memory figures (bytes): "peak_ws=N ws=N private=N peak_pagefile=N".
#include <stdio.h>
#include <windows.h>
#include <psapi.h>

extern "C" __declspec(dllexport) int run_code(int /* argc */, wchar_t** /* argv */,
                                              const wchar_t* /* dll_path */) {
  wchar_t path[4096];
  DWORD n = GetEnvironmentVariableW(L"ZOBRIN_BENCH_MEMORY_FILE", path, 4096);
  if (n == 0 || n >= 4096) return 0;
  PROCESS_MEMORY_COUNTERS_EX counters;
  ZeroMemory(&counters, sizeof counters);
  if (!K32GetProcessMemoryInfo(GetCurrentProcess(), (PROCESS_MEMORY_COUNTERS*)&counters,
                               sizeof counters)) {
    return 0;
  }
  char line[256];
  int length = snprintf(line, sizeof line, "peak_ws=%llu ws=%llu private=%llu peak_pagefile=%llu\n",
                        (unsigned long long)counters.PeakWorkingSetSize,
                        (unsigned long long)counters.WorkingSetSize,
                        (unsigned long long)counters.PrivateUsage,
                        (unsigned long long)counters.PeakPagefileUsage);
  HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            /* lpSecurityAttributes */ nullptr, OPEN_ALWAYS,
                            /* dwFlagsAndAttributes */ 0, /* hTemplateFile */ nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  DWORD written = 0;
  WriteFile(file, line, (DWORD)length, &written, /* lpOverlapped */ nullptr);
  CloseHandle(file);
  return 0;
}
