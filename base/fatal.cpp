#include "base/fatal.h"

#include <locale.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include "base/error_box.h"
#include "base/limits.h"
#include "base/progress_line.h"

// Paths and system texts are wide; without this the C locale writes any unit above U+00FF
// as nothing and cuts the rest of the argument. Only fatal paths call it: the process ends
// right after, so the locale the application sees is never changed.
static void fatal_use_utf8_for_wide_text(void) {
  setlocale(LC_CTYPE, ".UTF-8");
}

// The longest line: an open error's path, each unit escaped into 6 (fatal_open_error), with
// room for the message around it; a system text is far shorter.
static const size_t FATAL_LINE_UNITS = 6 * ZB_PATH_UNITS + 2048;

// The clean-up before a fatal exit and what it is run on. Main thread only.
struct FatalCleanup {
  void (*run)(void* context);
  void* context;
};

// The process's one fatal exit: the line last written, kept for the box (base/error_box.h),
// the handle it went to, and the clean-up to run before the exit.
struct FatalState {
  wchar_t line[FATAL_LINE_UNITS];
  DWORD line_handle;
  FatalCleanup cleanup;
};
static FatalState fatal_state = {{0}, STD_ERROR_HANDLE, {nullptr, nullptr}};

// A message or a source name (ASCII, from the launcher's own texts) widened.
static const size_t FATAL_MESSAGE_UNITS = 256;

// `message` (ASCII) widened into `wide` (capacity `capacity` units), cut to fit.
static void fatal_widen(const char* message, wchar_t* wide, size_t capacity) {
  size_t i = 0;
  for (; message[i] != '\0' && i + 1 < capacity; i++) wide[i] = (wchar_t)(unsigned char)message[i];
  wide[i] = L'\0';
}

// Formats the line into fatal_state.line, erases a progress line, then writes the line and a
// line feed to `stream` (stdout or stderr). Decision: the line is formatted wide and written as
// UTF-8, the bytes the narrow writes gave before; one too long is cut.
static void fatal_write_line(FILE* stream, const wchar_t* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  int length = vswprintf(fatal_state.line, FATAL_LINE_UNITS, format, arguments);
  va_end(arguments);
  if (length < 0) fatal_state.line[FATAL_LINE_UNITS - 1] = L'\0';
  fatal_state.line_handle = stream == stdout ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE;
  progress_line_end();
  fatal_use_utf8_for_wide_text();
  fprintf(stream, "%ls\n", fatal_state.line);
}


void fatal_set_cleanup(void (*cleanup)(void* context), void* context) {
  fatal_state.cleanup.run = cleanup;
  fatal_state.cleanup.context = context;
}

// Runs the clean-up once; the message is already out, the exit code follows.
static void fatal_run_cleanup(void) {
  FatalCleanup cleanup = fatal_state.cleanup;
  fatal_state.cleanup.run = nullptr;
  if (cleanup.run != nullptr) {
    fflush(stdout);
    fflush(stderr);
    cleanup.run(cleanup.context);
  }
}

// After the line: the clean-up (which closes a splash too), the box when no one could read
// the line, then exit code 2. Decision: only a fatal exit shows the box; a line the run goes
// on after (a program's missing DLL) follows the system's own box on Windows.
[[noreturn]] static void fatal_end(void) {
  fatal_run_cleanup();
  fflush(stdout);
  fflush(stderr);
  if (error_box_due(fatal_state.line_handle)) error_box_show(fatal_state.line);
  exit(2);
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
  wchar_t wide[FATAL_MESSAGE_UNITS];
  fatal_widen(message, wide, FATAL_MESSAGE_UNITS);
  wchar_t* text = fatal_system_text(code);
  fatal_write_line(stderr, L"%ls ([Error %lu] %ls)", wide, code,
                   text != nullptr ? text : L"<unknown>");
  LocalFree(text);
}

void fatal_exit(const char* message) {
  wchar_t wide[FATAL_MESSAGE_UNITS];
  fatal_widen(message, wide, FATAL_MESSAGE_UNITS);
  fatal_write_line(stdout, L"%ls", wide);
  fatal_end();
}

void fatal_exit_code(const char* message, unsigned long code) {
  fatal_print_system_error(message, code);
  fatal_end();
}

void fatal_print_module_error(const char* message, unsigned long code, const wchar_t* label,
                              const wchar_t* module, const wchar_t* note) {
  wchar_t wide[FATAL_MESSAGE_UNITS];
  fatal_widen(message, wide, FATAL_MESSAGE_UNITS);
  wchar_t* text = fatal_system_text(code);
  fatal_write_line(stderr, L"%ls ([Error %lu] %ls) %ls%ls%ls", wide, code,
                   text != nullptr ? text : L"<unknown>", label, module, note);
  LocalFree(text);
}

void fatal_exit_missing_module(const char* message, unsigned long code, const wchar_t* module) {
  fatal_print_module_error(message, code, L"Missing: ", module, L"");
  fatal_end();
}

void fatal_exit_policy(const char* message, unsigned long code, const wchar_t* folder) {
  fatal_print_module_error(
      message, code, L"Blocked by policy in '", folder,
      L"': choose a folder the rules allow with zobrin-pack exe --extract-to, or with the "
      L"variable ZOBRIN_ONEFILE_EXTRACT_TO.");
  fatal_end();
}

void fatal_exit_elevation(const char* message, unsigned long code) {
  fatal_print_module_error(message, code,
                           L"The program needs administrator rights: start this executable as "
                           L"administrator, or pack it with zobrin-pack exe --uac-admin.",
                           L"", L"");
  fatal_end();
}

void fatal_place_error(const wchar_t* folder, const char* source) {
  wchar_t wide[FATAL_MESSAGE_UNITS];
  fatal_widen(source, wide, FATAL_MESSAGE_UNITS);
  fatal_write_line(stderr, L"Error, extraction folder '%ls' (from %ls) is not an absolute path.",
                   folder, wide);
  fatal_end();
}

void fatal_place_template_error(const wchar_t* folder, const char* source,
                                const wchar_t* reason) {
  wchar_t wide[FATAL_MESSAGE_UNITS];
  fatal_widen(source, wide, FATAL_MESSAGE_UNITS);
  fatal_write_line(stderr, L"Error, extraction folder '%ls' (from %ls) %ls.", folder, wide, reason);
  fatal_end();
}

void fatal_working_folder_error(const wchar_t* folder) {
  fatal_write_line(stderr,
                   L"Error, working folder '%ls' (from zobrin-pack exe --cwd) is not an existing "
                   L"folder.",
                   folder);
  fatal_end();
}

void fatal_open_error(const wchar_t* path) {
  // The path with CR and LF written as \u000D and \u000A, so a damaged name cannot split the
  // line: a path buffer's 4095 units, each at most 6 units, and the NUL.
  static wchar_t fatal_escaped_path[6 * (ZB_PATH_UNITS - 1) + 1];
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
  fatal_write_line(stderr, L"Error, failed to open '%ls' for writing.", fatal_escaped_path);
  fatal_end();
}

// "Error, couldn't create <what> '<path>' ([Error code] system text)" on standard error, then
// the clean-up and exit code 2.
[[noreturn]] static void fatal_create_error(const wchar_t* what, const wchar_t* path,
                                            unsigned long code) {
  wchar_t* text = fatal_system_text(code);
  fatal_write_line(stderr, L"Error, couldn't create %ls '%ls' ([Error %lu] %ls)", what, path, code,
                   text != nullptr ? text : L"<unknown>");
  fatal_end();
}

void fatal_create_directory_error(const wchar_t* path, unsigned long code) {
  fatal_create_error(L"payload directory", path, code);
}

void fatal_place_too_long(const wchar_t* folder) {
  fatal_write_line(stderr,
                   L"Error, extraction folder '%ls' is too long to hold the payload directory.",
                   folder);
  fatal_end();
}

void fatal_create_folder_error(const wchar_t* path, unsigned long code) {
  fatal_create_error(L"extraction folder", path, code);
}

void fatal_expand_error(const wchar_t* path_template) {
  fatal_write_line(stderr, L"Error, couldn't runtime expand spec '%ls'.", path_template);
  fatal_run_cleanup();
  if (error_box_due(fatal_state.line_handle)) error_box_show(fatal_state.line);
  abort();
}

void fatal_bounds_abort(void) {
  fatal_run_cleanup();
  abort();
}
