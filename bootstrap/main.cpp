// The launcher's entry: a GUI-subsystem program without a window of its own.
#include <windows.h>

#include "base/payload_format.h"
#include "bootstrap/driver.h"

// The version this launcher was built as, found in a built executable by `zobrin-pack list`.
extern "C" __attribute__((used)) const char zobrin_launcher_version[] =
    ZB_VERSION_MARKER ZOBRIN_VERSION;

int WINAPI wWinMain(HINSTANCE /* instance */, HINSTANCE /* previous */, PWSTR /* command_line */,
                    int /* show */) {
  return driver_run();
}
