// A child for the shutdown tests.
//   forever            sleeps until it is terminated
//   event NAME CODE    waits for the named event (at most 60 s), then exits with CODE
//   outlive FILE       waits for the launcher named by ZOBRIN_ONEFILE_PARENT to end (at most
//                      60 s), then writes "outlived" to FILE ("timed out", "no launcher")
#include <stdlib.h>
#include <string.h>
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
  if (argc == 3 && wcscmp(argv[1], L"outlive") == 0) {
    wchar_t id[32];
    DWORD n = GetEnvironmentVariableW(L"ZOBRIN_ONEFILE_PARENT", id, 32);
    HANDLE launcher = (n > 0 && n < 32)
                          ? OpenProcess(SYNCHRONIZE, FALSE, (DWORD)wcstoul(id, nullptr, 10))
                          : nullptr;
    const char* text = "no launcher";
    if (launcher != nullptr) {
      text = WaitForSingleObject(launcher, 60000) == WAIT_OBJECT_0 ? "outlived" : "timed out";
    }
    HANDLE file = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, text, (DWORD)strlen(text), &written, nullptr);
    CloseHandle(file);
    return 0;
  }
  return 100;
}
