#include "base/fatal.h"

#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

// Paths and system texts are wide; without this the C locale writes any unit above U+00FF
// as nothing and cuts the rest of the argument. Only fatal paths call it: the process ends
// right after, so the locale the application sees is never changed.
static void fatal_use_utf8_for_wide_text(void) {
  setlocale(LC_CTYPE, ".UTF-8");
}

unsigned long fatal_trim_line_breaks(wchar_t* text, unsigned long length) {
  while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n')) {
    length--;
  }
  text[length] = L'\0';
  return length;
}

void fatal_print_system_error(const char* message, unsigned long code) {
  wchar_t* text = nullptr;
  DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
      /* lpSource */ nullptr, /* dwMessageId */ code, /* dwLanguageId */ 0,
      /* lpBuffer */ reinterpret_cast<LPWSTR>(&text), /* nSize */ 0, /* Arguments */ nullptr);
  if (length == 0 || text == nullptr) {
    fprintf(stderr, "%s ([Error %lu] <unknown>)\n", message, code);
    return;
  }
  fatal_trim_line_breaks(text, length);
  fatal_use_utf8_for_wide_text();
  fprintf(stderr, "%s ([Error %lu] %ls)\n", message, code, text);
}

void fatal_exit(const char* message) {
  puts(message);
  exit(2);
}

void fatal_exit_code(const char* message, unsigned long code) {
  fatal_print_system_error(message, code);
  exit(2);
}

void fatal_open_error(const wchar_t* path) {
  fatal_use_utf8_for_wide_text();
  fprintf(stderr, "Error, failed to open '%ls' for writing.\n", path);
  exit(2);
}

void fatal_expand_error(const wchar_t* path_template) {
  fatal_use_utf8_for_wide_text();
  fprintf(stderr, "Error, couldn't runtime expand spec '%ls'.\n", path_template);
  abort();
}

void fatal_bounds_abort(void) {
  abort();
}
