// Rebuilding a command line from an argument vector, so the child's runtime splits it back
// into the same elements.
#pragma once

#include <stdint.h>

// Appends `element` to the NUL-terminated text in `line` (capacity `capacity` units, NUL
// included), quoted when it holds a blank, tab, line feed, vertical tab or double quote, or
// is empty; backslashes are doubled only where they precede a quote. Returns false, with the
// text unchanged, when it would not fit.
bool command_line_append(wchar_t* line, uint32_t capacity, const wchar_t* element);

// Sets `line` to the `count` elements of `elements` joined by single blanks, each appended
// as above. Returns false, leaving `line` empty, when the whole line does not fit.
bool command_line_build(wchar_t* line, uint32_t capacity, wchar_t** elements, int count);
