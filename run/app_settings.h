// The application's fixed arguments, variables and working folder, as packed with
// `zobrin-pack exe --arg`, `--env`, `--env-prepend` and `--cwd` (the settings kinds Args, Env
// and Cwd), made ready for one start of the application. Whatever starts the application
// applies them: the parent to its child (the DLL mode's application process) or to the
// program, the program mode's child role to the program; never to a process of the launcher's
// own.
#pragma once

#include <stdint.h>

#include "base/limits.h"
#include "payload/payload_image.h"

struct AppSettings {
  // The payload image whose settings these are.
  const PayloadImage* image;
  // The directory the application runs from, {APP_DIR}: the payload directory or the cached
  // copy (or its sibling). Null until app_settings_prepare.
  const wchar_t* app_dir;
  // The fixed arguments, expanded, each NUL-terminated, back to back, and how many.
  wchar_t arguments[ZB_COMMAND_LINE_UNITS];
  uint32_t argument_count;
  // The working folder, expanded and made absolute; empty: the launcher's own (the user's).
  wchar_t directory[ZB_PATH_UNITS];
  // One template at a time, and one variable's entry "NAME=VALUE".
  wchar_t scratch[ZB_COMMAND_LINE_UNITS];
  wchar_t entry[ZB_ENV_VALUE_UNITS];
};

// Expands the fixed arguments and working folder packed in `image` for an application that
// runs from `app_dir` (both kept in `app`: they must stay valid). Fatal: header error for a malformed record,
// the expand error naming a template that cannot be expanded (or whose result does not fit),
// and "Error, working folder '...' (from zobrin-pack exe --cwd) is not an existing folder."
void app_settings_prepare(AppSettings* app, const PayloadImage* image, const wchar_t* app_dir);

// The environment block the application starts with: this process's variables with the
// packed ones set, removed or put in front (heap; free() releases it), or null when none are
// packed. Read right before the start, so the launcher's variables set until then are in it.
// A value put in front of an inherited one that already starts with it (an application that
// started the executable again) is not put in front twice. Fatal: header error, expand error
// (also for a variable longer than 32767 units), the memory error.
wchar_t* app_settings_environment(AppSettings* app);
