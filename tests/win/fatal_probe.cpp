// Calls one fatal exit, chosen by the arguments, so tests can check its exact output.
//   plain MSG | code MSG N | line MSG N | open PATH | expand TEMPLATE | abort
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

#include "base/fatal.h"
#include "tests/win/probe_text.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int argc = *__p___argc();
  wchar_t** argv = *__p___wargv();
  if (argc < 2) return 100;
  const wchar_t* what = argv[1];
  if (wcscmp(what, L"plain") == 0 && argc == 3) fatal_exit(probe_ascii(argv[2]));
  if (wcscmp(what, L"code") == 0 && argc == 4) {
    fatal_exit_code(probe_ascii(argv[2]), wcstoul(argv[3], nullptr, 0));
  }
  if (wcscmp(what, L"line") == 0 && argc == 4) {
    fatal_print_system_error(probe_ascii(argv[2]), wcstoul(argv[3], nullptr, 0));
    fputs("after\n", stderr);
    return 0;
  }
  if (wcscmp(what, L"open") == 0 && argc == 3) fatal_open_error(argv[2]);
  if (wcscmp(what, L"expand") == 0 && argc == 3) fatal_expand_error(argv[2]);
  if (wcscmp(what, L"abort") == 0) fatal_bounds_abort();
  return 100;
}
