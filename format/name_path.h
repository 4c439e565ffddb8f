// Entry names turned into path text: the table's little-endian UTF-16 units copied into a
// wide buffer, as every place that opens, checks or removes an entry's file needs them.
#pragma once

#include <stdint.h>
#include <wchar.h>

// Appends the name's `units` units (little-endian, at `name`) to `path` (capacity `capacity`
// units, `*length` of them used, NUL-terminated) and NUL-terminates it. False, with `path`
// unchanged, when they do not fit.
bool name_append_path(wchar_t* path, uint32_t capacity, uint32_t* length,
                      const unsigned char* name, uint32_t units);

// True when the name's `units` units (little-endian, at `name`) are the `count` units at `text`.
bool name_equals_text(const unsigned char* name, uint32_t units, const wchar_t* text,
                      uint32_t count);
