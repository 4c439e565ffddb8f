// Splitting a command line into elements as the system's shell splitter does, and rebuilding
// one from elements, so the child's runtime splits it back into the same elements.
#pragma once

#include <stdint.h>

enum CommandLineStep {
  COMMAND_LINE_ELEMENT,   // `element` holds the next element
  COMMAND_LINE_END,       // no element is left
  COMMAND_LINE_TOO_LONG,  // the next element does not fit `capacity`
};

// Where the splitting of a line stands: { 0, false } before its first element.
struct CommandLineCursor {
  uint32_t next;      // the index where the search for the next element starts
  bool past_program;  // the first element, the program, was given
};

// The next element of `line` after `*cursor`, NUL-terminated into `element` (capacity
// `capacity` units); the cursor moves past it. The elements are exactly those of
// CommandLineToArgvW, without loading shell32 for it:
// - the first, the program: up to the next quote when the line starts with one (the quotes
//   dropped, no escapes), else up to the first blank or tab; an empty line has none (where
//   CommandLineToArgvW gives the executable's own path) and ends at once;
// - the others, after blanks and tabs: 2n backslashes before a quote are n backslashes and
//   the quote opens or closes a quoted part; 2n + 1 are n and a literal quote; backslashes
//   before anything else stay; in a run of quotes every third is a literal quote.
// COMMAND_LINE_TOO_LONG leaves the cursor where it was.
CommandLineStep command_line_next(const wchar_t* line, CommandLineCursor* cursor,
                                  wchar_t* element, uint32_t capacity);

// Sets `line` (capacity `capacity` units) to `program`, the `fixed_count` elements at `fixed`
// (NUL-terminated, back to back) and every element of `source` after its first, each appended
// as command_line_append does and joined by single blanks. `scratch` (capacity
// `scratch_capacity` units) holds one element at a time. Returns false, leaving `line` empty,
// when the line or an element does not fit.
bool command_line_rebuild(wchar_t* line, uint32_t capacity, const wchar_t* source,
                          const wchar_t* program, const wchar_t* fixed, uint32_t fixed_count,
                          wchar_t* scratch, uint32_t scratch_capacity);

// Appends `element` to the NUL-terminated text in `line` (capacity `capacity` units, NUL
// included), quoted when it holds a blank, tab, line feed, vertical tab or double quote, or
// is empty; backslashes are doubled only where they precede a quote. Returns false, with the
// text unchanged, when it would not fit.
bool command_line_append(wchar_t* line, uint32_t capacity, const wchar_t* element);

// Sets `line` to the `count` elements of `elements` joined by single blanks, each appended
// as above. Returns false, leaving `line` empty, when the whole line does not fit.
bool command_line_build(wchar_t* line, uint32_t capacity, wchar_t** elements, int count);
