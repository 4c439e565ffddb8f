// Starts Wine's desktop process and keeps it for the test run. The first program of a prefix
// that asks for the desktop window makes Wine start "explorer.exe /desktop", which inherits
// that program's standard handles and lives as long as any program uses the desktop: started
// by a test, it holds ctest's output pipe until the run goes quiet. Started here, detached
// from every pipe, it holds nothing; the wineserver's stop ends this program with the rest.
// The command line names a file created once the desktop is there.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR command_line, int) {
  if (GetDesktopWindow() == nullptr) return 1;
  HANDLE ready = CreateFileW(command_line, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  if (ready != INVALID_HANDLE_VALUE) CloseHandle(ready);
  Sleep(INFINITE);
  return 0;
}
