// The minimal host: loads the DLL named by its first argument and returns what its run_code
// returns, with the same three arguments the launcher's child passes. Without an argument it
// returns 0 at once (the empty process, for the cost of starting one).
#include <windows.h>

typedef int (*bench_entry_point)(int argc, wchar_t** argv, const wchar_t* dll_path);

int WINAPI wWinMain(HINSTANCE /* instance */, HINSTANCE /* previous */, PWSTR /* command_line */,
                    int /* show */) {
  int argc = *__p___argc();
  wchar_t** argv = *__p___wargv();
  if (argc < 2) return 0;
  HMODULE dll = LoadLibraryW(argv[1]);
  if (dll == nullptr) return 2;
  bench_entry_point entry = (bench_entry_point)(void*)GetProcAddress(dll, "run_code");
  if (entry == nullptr) return 2;
  return entry(argc, argv, argv[1]);
}
