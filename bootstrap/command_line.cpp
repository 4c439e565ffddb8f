#include "bootstrap/command_line.h"

#include <wchar.h>

// Writes into line[*at] onwards, keeping room for the NUL; false when it would not fit.
static bool command_line_put(wchar_t* line, uint32_t capacity, size_t* at, wchar_t unit,
                             size_t count) {
  if (count > capacity || *at + count + 1 > capacity) return false;
  for (size_t i = 0; i < count; i++) line[(*at)++] = unit;
  return true;
}

bool command_line_append(wchar_t* line, uint32_t capacity, const wchar_t* element) {
  size_t start = wcslen(line);
  size_t at = start;
  // Decision: an empty element is written as "", so the child still receives it and every
  // later argument keeps its position.
  bool quote = element[0] == L'\0' || wcspbrk(element, L" \t\n\v\"") != nullptr;
  bool ok = true;
  if (!quote) {
    for (size_t i = 0; ok && element[i] != L'\0'; i++) {
      ok = command_line_put(line, capacity, &at, element[i], 1);
    }
  } else {
    ok = command_line_put(line, capacity, &at, L'"', 1);
    size_t backslashes = 0;
    for (size_t i = 0; ok && element[i] != L'\0'; i++) {
      wchar_t unit = element[i];
      if (unit == L'\\') {
        backslashes++;
        continue;
      }
      ok = command_line_put(line, capacity, &at, L'\\',
                            unit == L'"' ? 2 * backslashes + 1 : backslashes) &&
           command_line_put(line, capacity, &at, unit, 1);
      backslashes = 0;
    }
    ok = ok && command_line_put(line, capacity, &at, L'\\', 2 * backslashes) &&
         command_line_put(line, capacity, &at, L'"', 1);
  }
  line[ok ? at : start] = L'\0';
  return ok;
}

bool command_line_build(wchar_t* line, uint32_t capacity, wchar_t** elements, int count) {
  if (capacity == 0) return false;
  line[0] = L'\0';
  for (int i = 0; i < count; i++) {
    size_t length = wcslen(line);
    if (i > 0) {
      if (length + 2 > capacity) {
        line[0] = L'\0';
        return false;
      }
      line[length] = L' ';
      line[length + 1] = L'\0';
    }
    if (!command_line_append(line, capacity, elements[i])) {
      line[0] = L'\0';
      return false;
    }
  }
  return true;
}
