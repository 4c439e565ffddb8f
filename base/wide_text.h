// Bounded appends of wide text into fixed buffers.
#pragma once

#include <stdint.h>

// Appends the NUL-terminated `text` to `buffer` (capacity `capacity` units, NUL included) at
// index *at, one unit at a time while that unit and a NUL still fit; the buffer is
// NUL-terminated after every unit and *at moves past each. True when the whole text was
// appended. False at the first unit that does not fit, and when *at is not below
// `capacity`: what was appended before stays (NUL-terminated), so a caller that must not cut
// a text either aborts or puts the NUL back at its old end. Never fatal.
bool wide_append_text(wchar_t* buffer, uint32_t capacity, uint32_t* at, const wchar_t* text);

// The same for `count` copies of `unit`.
bool wide_append_units(wchar_t* buffer, uint32_t capacity, uint32_t* at, wchar_t unit,
                       uint32_t count);
