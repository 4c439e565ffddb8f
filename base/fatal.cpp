#include "base/fatal.h"

#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include "base/limits.h"

// Paths and system texts are wide; without this the C locale writes any unit above U+00FF
// as nothing and cuts the rest of the argument. Only fatal paths call it: the process ends
// right after, so the locale the application sees is never changed.
static void fatal_use_utf8_for_wide_text(void) {
  setlocale(LC_CTYPE, ".UTF-8");
}

// The clean-up before a fatal exit and what it is run on. Main thread only.
struct FatalCleanup {
  void (*run)(void* context);
  void* context;
};
static FatalCleanup fatal_cleanup = {nullptr, nullptr};

void fatal_set_cleanup(void (*cleanup)(void* context), void* context) {
  fatal_cleanup.run = cleanup;
  fatal_cleanup.context = context;
}

// Runs the clean-up once; the message is already out, the exit code follows.
static void fatal_run_cleanup(void) {
  FatalCleanup cleanup = fatal_cleanup;
  fatal_cleanup.run = nullptr;
  if (cleanup.run != nullptr) {
    fflush(stdout);
    fflush(stderr);
    cleanup.run(cleanup.context);
  }
}

// The system's text for `code` without its trailing line breaks, or null; LocalFree it.
static wchar_t* fatal_system_text(unsigned long code) {
  wchar_t* text = nullptr;
  DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
      /* lpSource */ nullptr, /* dwMessageId */ code, /* dwLanguageId */ 0,
      /* lpBuffer */ reinterpret_cast<LPWSTR>(&text), /* nSize */ 0, /* Arguments */ nullptr);
  if (length == 0 || text == nullptr) return nullptr;
  fatal_trim_line_breaks(text, length);
  return text;
}

unsigned long fatal_trim_line_breaks(wchar_t* text, unsigned long length) {
  while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n')) {
    length--;
  }
  text[length] = L'\0';
  return length;
}

void fatal_print_system_error(const char* message, unsigned long code) {
  wchar_t* text = fatal_system_text(code);
  if (text == nullptr) {
    fprintf(stderr, "%s ([Error %lu] <unknown>)\n", message, code);
    return;
  }
  fatal_use_utf8_for_wide_text();
  fprintf(stderr, "%s ([Error %lu] %ls)\n", message, code, text);
}

void fatal_exit(const char* message) {
  puts(message);
  fatal_run_cleanup();
  exit(2);
}

void fatal_exit_code(const char* message, unsigned long code) {
  fatal_print_system_error(message, code);
  fatal_run_cleanup();
  exit(2);
}

void fatal_print_module_error(const char* message, unsigned long code, const wchar_t* label,
                              const wchar_t* module, const wchar_t* note) {
  wchar_t* text = fatal_system_text(code);
  fatal_use_utf8_for_wide_text();
  fprintf(stderr, "%s ([Error %lu] %ls) %ls%ls%ls\n", message, code,
          text != nullptr ? text : L"<unknown>", label, module, note);
  LocalFree(text);
}

void fatal_exit_missing_module(const char* message, unsigned long code, const wchar_t* module) {
  fatal_print_module_error(message, code, L"Missing: ", module, L"");
  fatal_run_cleanup();
  exit(2);
}

void fatal_exit_policy(const char* message, unsigned long code, const wchar_t* folder) {
  wchar_t* text = fatal_system_text(code);
  fatal_use_utf8_for_wide_text();
  fprintf(stderr,
          "%s ([Error %lu] %ls) Blocked by policy in '%ls': choose a folder the rules allow "
          "with zobrin-pack exe --extract-to, or with the variable ZOBRIN_ONEFILE_EXTRACT_TO.\n",
          message, code, text != nullptr ? text : L"<unknown>", folder);
  fatal_run_cleanup();
  exit(2);
}

void fatal_exit_elevation(const char* message, unsigned long code) {
  wchar_t* text = fatal_system_text(code);
  fatal_use_utf8_for_wide_text();
  fprintf(stderr,
          "%s ([Error %lu] %ls) The program needs administrator rights: start this executable "
          "as administrator, or pack it with zobrin-pack exe --uac-admin.\n",
          message, code, text != nullptr ? text : L"<unknown>");
  fatal_run_cleanup();
  exit(2);
}

void fatal_place_error(const wchar_t* folder, const char* source) {
  fatal_use_utf8_for_wide_text();
  fprintf(stderr, "Error, extraction folder '%ls' (from %s) is not an absolute path.\n", folder,
          source);
  fatal_run_cleanup();
  exit(2);
}

void fatal_place_template_error(const wchar_t* folder, const char* source,
                                const wchar_t* reason) {
  fatal_use_utf8_for_wide_text();
  fprintf(stderr, "Error, extraction folder '%ls' (from %s) %ls.\n", folder, source, reason);
  fatal_run_cleanup();
  exit(2);
}

void fatal_working_folder_error(const wchar_t* folder) {
  fatal_use_utf8_for_wide_text();
  fprintf(stderr,
          "Error, working folder '%ls' (from zobrin-pack exe --cwd) is not an existing folder.\n",
          folder);
  fatal_run_cleanup();
  exit(2);
}

void fatal_open_error(const wchar_t* path) {
  // The path with CR and LF written as \u000D and \u000A, so a damaged name cannot split the
  // line: a path buffer's 4095 units, each at most 6 units, and the NUL.
  wchar_t fatal_escaped_path[6 * (ZB_PATH_UNITS - 1) + 1];
  size_t length = 0;
  for (size_t i = 0; path[i] != L'\0' && length + 6 < sizeof fatal_escaped_path / sizeof(wchar_t);
       i++) {
    if (path[i] == L'\r' || path[i] == L'\n') {
      const wchar_t* escape = path[i] == L'\r' ? L"\\u000D" : L"\\u000A";
      for (size_t k = 0; k < 6; k++) fatal_escaped_path[length++] = escape[k];
    } else {
      fatal_escaped_path[length++] = path[i];
    }
  }
  fatal_escaped_path[length] = L'\0';
  fatal_use_utf8_for_wide_text();
  fprintf(stderr, "Error, failed to open '%ls' for writing.\n", fatal_escaped_path);
  fatal_run_cleanup();
  exit(2);
}

// "Error, couldn't create <what> '<path>' ([Error code] system text)" on standard error, then
// the clean-up and exit code 2.
[[noreturn]] static void fatal_create_error(const char* what, const wchar_t* path,
                                            unsigned long code) {
  wchar_t* text = fatal_system_text(code);
  fatal_use_utf8_for_wide_text();
  fprintf(stderr, "Error, couldn't create %s '%ls' ([Error %lu] %ls)\n", what, path, code,
          text != nullptr ? text : L"<unknown>");
  fatal_run_cleanup();
  exit(2);
}

void fatal_create_directory_error(const wchar_t* path, unsigned long code) {
  fatal_create_error("payload directory", path, code);
}

void fatal_place_too_long(const wchar_t* folder) {
  fatal_use_utf8_for_wide_text();
  fprintf(stderr, "Error, extraction folder '%ls' is too long to hold the payload directory.\n",
          folder);
  fatal_run_cleanup();
  exit(2);
}

void fatal_create_folder_error(const wchar_t* path, unsigned long code) {
  fatal_create_error("extraction folder", path, code);
}

void fatal_expand_error(const wchar_t* path_template) {
  fatal_use_utf8_for_wide_text();
  fprintf(stderr, "Error, couldn't runtime expand spec '%ls'.\n", path_template);
  fatal_run_cleanup();
  abort();
}

void fatal_bounds_abort(void) {
  fatal_run_cleanup();
  abort();
}
