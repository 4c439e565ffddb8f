/* zobrin/app.h: the entry point of an application packed by Zobrin Onefile, and helpers for
 * its arguments and its own files. C (C99 or later) and C++; header only.
 *
 * The launcher loads the application's main DLL from the payload directory and calls
 *
 *     int run_code(int argc, wchar_t** argv, const wchar_t* dll_path);
 *
 * exported by that name (C linkage, not C++-mangled). Include this header in the file that
 * defines run_code and write the definition with exactly this signature:
 *
 *     #include <zobrin/app.h>
 *
 *     int run_code(int argc, wchar_t** argv, const wchar_t* dll_path) {
 *       ...
 *       return 0;   // the exit code of the whole executable, all 32 bits
 *     }
 *
 * The declaration below carries the export and the C linkage, so the definition needs
 * neither; a definition with another signature (char** for wchar_t**, say) does not compile.
 *
 * - argc, argv: the arguments as the C runtime split the command line, UTF-16. argv[0] is the
 *   onefile executable's full path; what the user typed as element 0 is in the environment
 *   variable ZOBRIN_ORIGINAL_ARGV0.
 * - dll_path: the full path of the main DLL inside the payload directory. The application's
 *   other files are beside it (zobrin_app_file below). GetModuleFileNameW(NULL, ...) names
 *   the onefile executable, not this directory.
 *
 * Arguments as narrow text: zobrin_args_utf8 gives UTF-8, which holds every argument
 * unchanged. zobrin_args_to_code_page(CP_ACP, ...) gives the ANSI code page instead, which is
 * what the runtime's own narrow argv holds: characters the code page lacks become '?' (or a
 * look-alike), so use it only for code that expects ANSI text. Note that the C runtime's
 * narrow file functions (fopen, ...) take ANSI paths unless the program selected a UTF-8
 * locale (setlocale(LC_ALL, ".UTF8") with the Universal CRT); the wide ones (_wfopen,
 * CreateFileW) take any path.
 *
 * Every helper returns one heap block (malloc) that the caller releases with free(), or NULL
 * when memory or the conversion fails. */
#ifndef ZOBRIN_APP_H
#define ZOBRIN_APP_H

#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

#ifdef __cplusplus
#define ZOBRIN_EXTERN_C extern "C"
#else
#define ZOBRIN_EXTERN_C
#endif

/* C linkage and the DLL export of the entry point. */
#define ZOBRIN_EXPORT ZOBRIN_EXTERN_C __declspec(dllexport)

ZOBRIN_EXPORT int __cdecl run_code(int argc, wchar_t** argv, const wchar_t* dll_path);

#ifdef __cplusplus
/* In C++ a definition with another parameter list would be a new overload with a mangled
 * name, and the DLL would export no run_code. These catch the usual slips at compile time. */
int run_code(int, char**, const wchar_t*) = delete;
int run_code(int, char**, const char*) = delete;
int run_code(int, char**, char*) = delete;
int run_code(int, wchar_t**, const char*) = delete;
int run_code(int, wchar_t**, wchar_t*) = delete;
int run_code(int, wchar_t**, char*) = delete;
int run_code(int, const wchar_t**, const wchar_t*) = delete;
int run_code(int, wchar_t**) = delete;
int run_code(int, char**) = delete;
#endif

/* The bytes (terminator included) that `text` takes in `code_page`, 0 on failure. */
static inline size_t zobrin_narrow_size_(UINT code_page, const wchar_t* text) {
  int n = WideCharToMultiByte(code_page, 0, text, -1, NULL, 0, NULL, NULL);
  return n > 0 ? (size_t)n : 0;
}

/* The arguments converted to `code_page` (CP_UTF8 or CP_ACP): an array of argc + 1 pointers,
 * the last one NULL, followed by the texts, all in one block: free(result) releases it. */
static inline char** zobrin_args_to_code_page(UINT code_page, int argc, wchar_t** argv) {
  if (argc < 0 || argv == NULL) return NULL;
  size_t count = (size_t)argc;
  if (count > ((size_t)-1) / sizeof(char*) - 1) return NULL;
  size_t table = (count + 1) * sizeof(char*);
  size_t total = table;
  for (size_t i = 0; i < count; i++) {
    size_t n = zobrin_narrow_size_(code_page, argv[i]);
    if (n == 0 || n > ((size_t)-1) - total) return NULL;
    total += n;
  }
  char** result = (char**)malloc(total);
  if (result == NULL) return NULL;
  char* text = (char*)result + table;
  size_t left = total - table;
  for (size_t i = 0; i < count; i++) {
    int capacity = left > 0x7fffffff ? 0x7fffffff : (int)left;
    int n = WideCharToMultiByte(code_page, 0, argv[i], -1, text, capacity, NULL, NULL);
    if (n <= 0) {
      free(result);
      return NULL;
    }
    result[i] = text;
    text += n;
    left -= (size_t)n;
  }
  result[count] = NULL;
  return result;
}

/* The arguments as UTF-8 (an unpaired surrogate becomes U+FFFD); see above. */
static inline char** zobrin_args_utf8(int argc, wchar_t** argv) {
  return zobrin_args_to_code_page(CP_UTF8, argc, argv);
}

/* One wide text as UTF-8, NUL-terminated. */
static inline char* zobrin_utf8(const wchar_t* text) {
  if (text == NULL) return NULL;
  size_t n = zobrin_narrow_size_(CP_UTF8, text);
  if (n == 0 || n > 0x7fffffff) return NULL;
  char* result = (char*)malloc(n);
  if (result == NULL) return NULL;
  if (WideCharToMultiByte(CP_UTF8, 0, text, -1, result, (int)n, NULL, NULL) != (int)n) {
    free(result);
    return NULL;
  }
  return result;
}

/* The path of `name` (relative, '\' between components) in the application's directory, the
 * directory that holds the main DLL: dll_path up to its last backslash, then `name`. With
 * `name` NULL or empty, the directory itself (no trailing backslash). A dll_path without a
 * backslash has the empty directory: the result is `name` alone. */
static inline wchar_t* zobrin_app_file(const wchar_t* dll_path, const wchar_t* name) {
  if (dll_path == NULL) return NULL;
  const wchar_t* last = wcsrchr(dll_path, L'\\');
  size_t dir = last != NULL ? (size_t)(last - dll_path) : 0;
  size_t extra = (name != NULL && name[0] != L'\0') ? wcslen(name) : 0;
  size_t separator = (last != NULL && extra > 0) ? 1 : 0;
  size_t units = dir + separator + extra + 1;
  if (units < extra || units > ((size_t)-1) / sizeof(wchar_t)) return NULL;
  wchar_t* result = (wchar_t*)malloc(units * sizeof(wchar_t));
  if (result == NULL) return NULL;
  memcpy(result, dll_path, dir * sizeof(wchar_t));
  if (separator) result[dir] = L'\\';
  if (extra > 0) memcpy(result + dir + separator, name, extra * sizeof(wchar_t));
  result[units - 1] = L'\0';
  return result;
}

/* The application's directory: zobrin_app_file(dll_path, NULL). */
static inline wchar_t* zobrin_app_dir(const wchar_t* dll_path) {
  return zobrin_app_file(dll_path, NULL);
}

/* Closes the splash of an executable packed with `zobrin-pack exe --splash` at once, for an
 * application that shows its first window late or none. (It also goes by itself when the
 * application's first visible top-level window appears, and when the application ends.) Does
 * nothing when there is none. The launcher waits on the event
 * "Local\\zobrin-onefile-splash-<ZOBRIN_ONEFILE_PARENT>"; a program packed as it is may set
 * that event itself. */
static inline void zobrin_close_splash(void) {
  wchar_t name[64] = L"Local\\zobrin-onefile-splash-";
  size_t used = wcslen(name);
  DWORD n = GetEnvironmentVariableW(L"ZOBRIN_ONEFILE_PARENT", name + used, (DWORD)(64 - used));
  if (n == 0 || n >= 64 - used) return;
  HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, name);
  if (event == NULL) return;
  SetEvent(event);
  CloseHandle(event);
}

#endif /* ZOBRIN_APP_H */
