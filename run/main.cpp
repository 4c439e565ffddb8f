// The launcher's entry: a GUI-subsystem program without a window of its own.
#include <windows.h>

#include "format/payload_format.h"
#include "run/driver.h"

// The version this launcher was built as, found in a built executable by `zobrin-pack list`.
extern "C" __attribute__((used)) const char zobrin_launcher_version[] =
    ZB_VERSION_MARKER ZOBRIN_VERSION;

#define MAIN_TEXT(number) #number
#define MAIN_NUMBER_TEXT(number) MAIN_TEXT(number)
// The setting kinds this launcher reads, found in the kit's launcher by `zobrin-pack exe`.
extern "C" __attribute__((used)) const char zobrin_launcher_settings[] =
    ZB_SETTINGS_MARKER MAIN_NUMBER_TEXT(ZB_SETTING_KINDS_NUMBER);

int WINAPI wWinMain(HINSTANCE /* instance */, HINSTANCE /* previous */, PWSTR /* command_line */,
                    int /* show */) {
  return driver_run();
}
