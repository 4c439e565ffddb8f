#include "paths/app_template.h"

#include <wchar.h>

#include "base/fatal.h"
#include "base/limits.h"
#include "base/wide_text.h"
#include "paths/template.h"

static const wchar_t APP_TEMPLATE_APP_DIR[] = L"APP_DIR";
// The path template variables an application template may name besides {APP_DIR}: those of
// the extraction folder, which follow neither argument 0 nor the run.
static const wchar_t* const app_template_folder_names[] = {L"EXE_DIR", L"TEMP", L"CACHE_DIR",
                                                          L"HOME"};
// Longer than any name above, braces included.
static const uint32_t APP_TEMPLATE_NAME_UNITS = 16;

// Appends the value of the variable named by the `units` units at `name` at *length. False
// for another name, a value that cannot be read or one that does not fit.
static bool app_template_append_variable(wchar_t* output, uint32_t capacity, uint32_t* length,
                                         const wchar_t* name, uint32_t units,
                                         const wchar_t* app_dir) {
  if (units == 0 || units + 3 > APP_TEMPLATE_NAME_UNITS) return false;
  wchar_t placeholder[APP_TEMPLATE_NAME_UNITS];
  placeholder[0] = L'{';
  wmemcpy(placeholder + 1, name, units);
  placeholder[units + 1] = L'}';
  placeholder[units + 2] = L'\0';
  wchar_t* bare = placeholder + 1;
  bare[units] = L'\0';
  if (_wcsicmp(bare, APP_TEMPLATE_APP_DIR) == 0) {
    return wide_append_text(output, capacity, length, app_dir);
  }
  bool known = false;
  for (const wchar_t* folder : app_template_folder_names) known = known || _wcsicmp(bare, folder) == 0;
  if (!known) return false;
  bare[units] = L'}';
  // Decision: expanded apart and then appended, so a long value is a false answer here rather
  // than the expander's abort.
  wchar_t value[ZB_PATH_UNITS];
  return template_expand(value, placeholder, ZB_PATH_UNITS) &&
         wide_append_text(output, capacity, length, value);
}

bool app_template_expand(wchar_t* output, uint32_t capacity, const wchar_t* text,
                         uint32_t units, const wchar_t* app_dir) {
  if (capacity == 0) fatal_bounds_abort();
  uint32_t length = 0;
  output[0] = L'\0';
  for (uint32_t at = 0; at < units; at++) {
    wchar_t unit = text[at];
    bool brace = unit == L'{' || unit == L'}';
    if (brace && at + 1 < units && text[at + 1] == unit) {
      at++;
    } else if (unit == L'}') {
      return false;
    } else if (unit == L'{') {
      uint32_t close = at + 1;
      while (close < units && text[close] != L'}') close++;
      if (close == units ||
          !app_template_append_variable(output, capacity, &length, text + at + 1,
                                        close - at - 1, app_dir)) {
        return false;
      }
      at = close;
      continue;
    }
    if (!wide_append_units(output, capacity, &length, unit, 1)) return false;
  }
  return true;
}
