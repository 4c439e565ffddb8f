#include "bootstrap/command_line.h"

#include <wchar.h>

#include "base/wide_text.h"

bool command_line_append(wchar_t* line, uint32_t capacity, const wchar_t* element) {
  uint32_t start = (uint32_t)wcsnlen(line, capacity);
  uint32_t at = start;
  // Decision: an empty element is written as "", so the child still receives it and every
  // later argument keeps its position.
  bool quote = element[0] == L'\0' || wcspbrk(element, L" \t\n\v\"") != nullptr;
  bool ok = true;
  if (!quote) {
    ok = wide_append_text(line, capacity, &at, element);
  } else {
    ok = wide_append_units(line, capacity, &at, L'"', 1);
    uint32_t backslashes = 0;
    for (size_t i = 0; ok && element[i] != L'\0'; i++) {
      wchar_t unit = element[i];
      if (unit == L'\\') {
        backslashes++;
        continue;
      }
      ok = wide_append_units(line, capacity, &at, L'\\',
                             unit == L'"' ? 2 * backslashes + 1 : backslashes) &&
           wide_append_units(line, capacity, &at, unit, 1);
      backslashes = 0;
    }
    ok = ok && wide_append_units(line, capacity, &at, L'\\', 2 * backslashes) &&
         wide_append_units(line, capacity, &at, L'"', 1);
  }
  if (!ok && start < capacity) line[start] = L'\0';
  return ok;
}

bool command_line_build(wchar_t* line, uint32_t capacity, wchar_t** elements, int count) {
  if (capacity == 0) return false;
  line[0] = L'\0';
  uint32_t at = 0;
  for (int i = 0; i < count; i++) {
    if ((i > 0 && !wide_append_units(line, capacity, &at, L' ', 1)) ||
        !command_line_append(line, capacity, elements[i])) {
      line[0] = L'\0';
      return false;
    }
    at = (uint32_t)wcslen(line);
  }
  return true;
}
