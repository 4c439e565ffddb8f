// A packaged application's main DLL for tests: reports what it was given.
#include <stdio.h>
#include <windows.h>

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t** argv, const wchar_t* dll_path) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  printf("argc=%d\n", argc);
  for (int i = 0; i < argc; i++) printf("argv[%d]=%ls\n", i, argv[i]);
  printf("dll=%ls\n", dll_path);
  return argc > 1 ? _wtoi(argv[argc - 1]) : 0;
}
