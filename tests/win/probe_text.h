// Text helpers of the probe programs, which print with the C runtime only.
#pragma once

#include <wchar.h>

// An ASCII copy of `text` (each unit cut to 8 bits), at most 1023 characters, in a buffer
// that the next call overwrites.
static inline const char* probe_ascii(const wchar_t* text) {
  static char narrow[1024];
  size_t i = 0;
  for (; text[i] != 0 && i + 1 < sizeof narrow; i++) narrow[i] = (char)text[i];
  narrow[i] = 0;
  return narrow;
}
