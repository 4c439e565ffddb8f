#include "tests/fuzz/fatal_jump.h"

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include "base/fatal.h"

jmp_buf* fatal_jump_target = nullptr;
const char* fatal_jump_message = nullptr;

[[noreturn]] static void fatal_jump(const char* message) {
  fatal_jump_message = message;
  if (fatal_jump_target == nullptr) {
    fprintf(stderr, "fatal exit outside a harness run: %s\n", message);
    abort();
  }
  jmp_buf* target = fatal_jump_target;
  fatal_jump_target = nullptr;
  longjmp(*target, 1);
}

void fatal_print_system_error(const char*, unsigned long) {}

unsigned long fatal_trim_line_breaks(wchar_t* text, unsigned long length) {
  while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n')) length--;
  text[length] = L'\0';
  return length;
}

void fatal_exit(const char* message) { fatal_jump(message); }

void fatal_exit_code(const char* message, unsigned long) { fatal_jump(message); }

void fatal_open_error(const wchar_t*) { fatal_jump("open error"); }

void fatal_expand_error(const wchar_t*) { fatal_jump("expand error"); }

// An overflowing bounded copy is a fault the harness must report, never a result.
void fatal_bounds_abort(void) { abort(); }
