// The sample application's main DLL: prints what the launcher hands it, reads one of its
// data files, and exits with the number given as its last argument.
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t** argv, const wchar_t* dll_path) {
  printf("Hello from the sample application.\n");
  for (int i = 0; i < argc; i++) printf("  argument %d: %ls\n", i, argv[i]);
  printf("  main DLL: %ls\n", dll_path);
  const wchar_t* names[] = {L"ZOBRIN_ONEFILE_DIRECTORY", L"ZOBRIN_ORIGINAL_ARGV0"};
  for (const wchar_t* name : names) {
    wchar_t value[4096];
    DWORD n = GetEnvironmentVariableW(name, value, 4096);
    printf("  %ls=%ls\n", name, n > 0 && n < 4096 ? value : L"(not set)");
  }
  wchar_t data_path[4096];
  wcscpy(data_path, dll_path);
  wchar_t* slash = wcsrchr(data_path, L'\\');
  if (slash != nullptr && wcslen(data_path) + 32 < 4096) {
    wcscpy(slash + 1, L"data\\greeting.txt");
    FILE* file = _wfopen(data_path, L"rb");
    if (file != nullptr) {
      char line[256] = {};
      fgets(line, sizeof line, file);
      printf("  data\\greeting.txt says: %s", line);
      fclose(file);
    }
  }
  fflush(stdout);
  return argc > 1 ? _wtoi(argv[argc - 1]) : 0;
}
