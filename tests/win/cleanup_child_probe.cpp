// A child for the shutdown tests.
//   forever            sleeps until it is terminated
//   event NAME CODE    waits for the named event (at most 60 s), then exits with CODE
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int argc = *__p___argc();
  wchar_t** argv = *__p___wargv();
  if (argc == 2 && wcscmp(argv[1], L"forever") == 0) {
    Sleep(INFINITE);
  }
  if (argc == 4 && wcscmp(argv[1], L"event") == 0) {
    HANDLE event = OpenEventW(SYNCHRONIZE, /* bInheritHandle */ FALSE, argv[2]);
    if (event == nullptr) return 101;
    WaitForSingleObject(event, 60000);
    return (int)wcstoul(argv[3], nullptr, 0);
  }
  return 100;
}
