#include "run/command_line.h"

#include <wchar.h>

#include "base/wide_text.h"

static bool command_line_blank(wchar_t unit) { return unit == L' ' || unit == L'\t'; }

// The program element at the start of the non-empty `line`, as command_line_next gives it.
static CommandLineStep command_line_program(const wchar_t* line, CommandLineCursor* cursor,
                                            wchar_t* element, uint32_t capacity) {
  bool quoted = line[0] == L'"';
  uint32_t from = quoted ? 1 : 0;
  uint32_t end = from;
  while (line[end] != L'\0' && (quoted ? line[end] != L'"' : !command_line_blank(line[end]))) {
    end++;
  }
  if (end - from >= capacity) return COMMAND_LINE_TOO_LONG;
  wmemcpy(element, line + from, end - from);
  element[end - from] = L'\0';
  cursor->next = quoted && line[end] == L'"' ? end + 1 : end;
  cursor->past_program = true;
  return COMMAND_LINE_ELEMENT;
}

CommandLineStep command_line_next(const wchar_t* line, CommandLineCursor* cursor,
                                  wchar_t* element, uint32_t capacity) {
  if (capacity == 0) return COMMAND_LINE_TOO_LONG;
  if (!cursor->past_program) {
    if (line[0] == L'\0') return COMMAND_LINE_END;
    return command_line_program(line, cursor, element, capacity);
  }
  uint32_t position = cursor->next;
  while (command_line_blank(line[position])) position++;
  if (line[position] == L'\0') {
    cursor->next = position;
    return COMMAND_LINE_END;
  }
  uint32_t length = 0;
  uint32_t backslashes = 0;  // written just before this unit
  uint32_t quotes = 0;       // 1 inside a quoted part; counts a run of quotes up to 3
  for (; line[position] != L'\0'; position++) {
    wchar_t unit = line[position];
    if (command_line_blank(unit) && quotes == 0) break;
    if (unit != L'"') {
      if (length + 1 >= capacity) return COMMAND_LINE_TOO_LONG;
      element[length++] = unit;
      backslashes = unit == L'\\' ? backslashes + 1 : 0;
      continue;
    }
    // The backslashes before the quote were written: half of them stay.
    length -= backslashes - backslashes / 2;
    if (backslashes % 2 == 1) {
      element[length++] = L'"';
    } else {
      quotes++;
    }
    backslashes = 0;
    while (line[position + 1] == L'"') {
      position++;
      if (++quotes == 3) {
        if (length + 1 >= capacity) return COMMAND_LINE_TOO_LONG;
        element[length++] = L'"';
        quotes = 0;
      }
    }
    if (quotes == 2) quotes = 0;
  }
  element[length] = L'\0';
  cursor->next = position;
  return COMMAND_LINE_ELEMENT;
}

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

bool command_line_rebuild(wchar_t* line, uint32_t capacity, const wchar_t* source,
                          const wchar_t* program, const wchar_t* fixed, uint32_t fixed_count,
                          wchar_t* scratch, uint32_t scratch_capacity) {
  if (capacity == 0) return false;
  line[0] = L'\0';
  bool ok = command_line_append(line, capacity, program);
  for (uint32_t i = 0; ok && i < fixed_count; i++, fixed += wcslen(fixed) + 1) {
    uint32_t length = (uint32_t)wcslen(line);
    ok = wide_append_units(line, capacity, &length, L' ', 1) &&
         command_line_append(line, capacity, fixed);
  }
  CommandLineCursor cursor = {0, false};
  CommandLineStep step = command_line_next(source, &cursor, scratch, scratch_capacity);
  while (ok && step == COMMAND_LINE_ELEMENT) {
    step = command_line_next(source, &cursor, scratch, scratch_capacity);
    if (step != COMMAND_LINE_ELEMENT) break;
    uint32_t length = (uint32_t)wcslen(line);
    ok = wide_append_units(line, capacity, &length, L' ', 1) &&
         command_line_append(line, capacity, scratch);
  }
  if (!ok || step == COMMAND_LINE_TOO_LONG) {
    line[0] = L'\0';
    return false;
  }
  return true;
}
