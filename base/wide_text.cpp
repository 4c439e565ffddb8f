#include "base/wide_text.h"

bool wide_append_text(wchar_t* buffer, uint32_t capacity, uint32_t* at, const wchar_t* text) {
  if (*at >= capacity) return false;
  for (const wchar_t* unit = text; *unit != L'\0'; unit++) {
    if (capacity - *at < 2) return false;
    buffer[*at] = *unit;
    buffer[++*at] = L'\0';
  }
  return true;
}

bool wide_append_units(wchar_t* buffer, uint32_t capacity, uint32_t* at, wchar_t unit,
                       uint32_t count) {
  if (*at >= capacity) return false;
  for (uint32_t i = 0; i < count; i++) {
    if (capacity - *at < 2) return false;
    buffer[*at] = unit;
    buffer[++*at] = L'\0';
  }
  return true;
}
