// A main DLL for the splash tests: says hello, writes DIR\started (ZOBRIN_TEST_REPORT=DIR),
// waits 2.5 s, then, as ZOBRIN_TEST_SPLASH says, asks the launcher to close the splash
// ("close", through zobrin/app.h) or shows a small window of its own ("window"), writes
// DIR\acted, and 3 s later DIR\ending just before it returns.
#include <stdio.h>
#include <zobrin/app.h>

namespace {

void splash_app_mark(const wchar_t* dir, const wchar_t* name) {
  wchar_t path[MAX_PATH];
  swprintf(path, MAX_PATH, L"%ls\\%ls", dir, name);
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

// Keeps the window's thread answering for `ms`.
void splash_app_pump(DWORD ms) {
  DWORD end = GetTickCount() + ms;
  while ((int)(end - GetTickCount()) > 0) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
  }
}

}  // namespace

int run_code(int, wchar_t**, const wchar_t*) {
  printf("hello from run_code\n");
  fflush(stdout);
  wchar_t dir[MAX_PATH], mode[16];
  if (GetEnvironmentVariableW(L"ZOBRIN_TEST_REPORT", dir, MAX_PATH) == 0) return 1;
  if (GetEnvironmentVariableW(L"ZOBRIN_TEST_SPLASH", mode, 16) == 0) mode[0] = L'\0';
  splash_app_mark(dir, L"started");
  splash_app_pump(2500);
  if (wcscmp(mode, L"close") == 0) zobrin_close_splash();
  if (wcscmp(mode, L"window") == 0) {
    HWND window = CreateWindowExW(0, L"STATIC", L"app", WS_POPUP | WS_VISIBLE, 0, 0, 40, 30,
                                  nullptr, nullptr, nullptr, nullptr);
    if (window == nullptr) return 2;
  }
  splash_app_mark(dir, L"acted");
  splash_app_pump(3000);
  splash_app_mark(dir, L"ending");
  return 0;
}
