// The launcher's entry: a GUI-subsystem program without a window of its own.
#include <windows.h>

#include "bootstrap/driver.h"

int WINAPI wWinMain(HINSTANCE /* instance */, HINSTANCE /* previous */, PWSTR /* command_line */,
                    int /* show */) {
  return driver_run();
}
