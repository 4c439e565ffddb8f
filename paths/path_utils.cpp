#include "paths/path_utils.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

#include "base/fatal.h"
#include "base/handle.h"
#include "base/limits.h"
#include "base/wide_text.h"

typedef DWORD(WINAPI* path_final_name_fn)(HANDLE, LPWSTR, DWORD, DWORD);

// Fatal (abort): no NUL within `capacity` units. Returns the length.
static size_t path_checked_length(const wchar_t* path, uint32_t capacity) {
  size_t length = wcsnlen(path, capacity);
  if (length >= capacity) {
    fatal_bounds_abort();
  }
  return length;
}

void path_drop_long_prefix(wchar_t* path) {
  // Index 4 is tested before index 5 so a text as short as the prefix is never read past.
  if (wcsncmp(path, L"\\\\?\\", 4) == 0 && path[4] != L'\0' && path[5] == L':') {
    memmove(path, path + 4, (wcslen(path + 4) + 1) * sizeof(wchar_t));
  }
  if (wcsncmp(path, L"\\\\?\\UNC\\", 8) == 0) {
    memmove(path + 2, path + 8, (wcslen(path + 8) + 1) * sizeof(wchar_t));
    path[0] = L'\\';
    path[1] = L'\\';
  }
}

void path_final_step(wchar_t* path, uint32_t capacity, bool resolve) {
  // Checked before the open, so the system is never handed an unterminated text.
  path_checked_length(path, capacity);
  if (!resolve) {
    return;
  }
  HandleOwner file(CreateFileW(path, /* dwDesiredAccess: none */ 0,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               /* lpSecurityAttributes */ nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, /* hTemplateFile */ nullptr));
  if (!file) {
    return;
  }
  // Looked up at run time: the launcher does not import it.
  FARPROC entry = GetProcAddress(GetModuleHandleA("Kernel32.dll"), "GetFinalPathNameByHandleW");
  if (entry != nullptr) {
    DWORD length = ((path_final_name_fn)(void*)entry)(file.get(), path, capacity,
                                                       /* dwFlags: normalised, DOS */ 0);
    // A result of the capacity or more is the size the final path would need.
    if (length >= capacity) {
      fatal_bounds_abort();
    }
  }
  file.reset();
  path_drop_long_prefix(path);
}

void path_short_directory(wchar_t* path, uint32_t capacity) {
  path_checked_length(path, capacity);
  wchar_t* file_name = nullptr;
  wchar_t* last = wcsrchr(path, L'\\');
  if (last != nullptr) {
    *last = L'\0';
    file_name = _wcsdup(last + 1);
    if (file_name == nullptr) {
      // Decision: without the copy the path cannot be put together again.
      fatal_bounds_abort();
    }
  }
  // Decision: one call into a buffer of the own path's size serves every path the launcher
  // shortens; asking for the size first doubles the cost (the system walks the directories
  // each time). A longer short form takes the two calls below.
  wchar_t first_try[ZB_OWN_PATH_UNITS];
  DWORD needed = GetShortPathNameW(path, first_try, ZB_OWN_PATH_UNITS);
  if (needed != 0 && needed < ZB_OWN_PATH_UNITS) {
    uint32_t at = 0;
    if (!wide_append_text(path, capacity, &at, first_try)) {
      fatal_bounds_abort();
    }
    needed = 0;
  }
  if (needed != 0) {
    wchar_t* short_form = (wchar_t*)malloc(((size_t)needed + 1) * sizeof(wchar_t));
    if (short_form == nullptr) {
      fatal_bounds_abort();
    }
    DWORD length = GetShortPathNameW(path, short_form, needed);
    if (length > needed) {
      fatal_bounds_abort();
    }
    if (length != 0) {
      short_form[needed] = L'\0';
      uint32_t at = 0;
      if (!wide_append_text(path, capacity, &at, short_form)) {
        fatal_bounds_abort();
      }
    }
    free(short_form);
  }
  if (file_name != nullptr) {
    uint32_t at = (uint32_t)wcslen(path);
    if (!wide_append_units(path, capacity, &at, L'\\', 1) ||
        !wide_append_text(path, capacity, &at, file_name)) {
      fatal_bounds_abort();
    }
    free(file_name);
  }
}

void path_normalize_resolved(wchar_t* path, uint32_t capacity) {
  path_final_step(path, capacity, /* resolve */ true);
  path_short_directory(path, capacity);
}

void path_module_file_name(wchar_t* buffer, uint32_t capacity) {
  DWORD length = GetModuleFileNameW(/* hModule: the executable */ nullptr, buffer, capacity);
  if (length == 0 || length >= capacity) {
    fatal_bounds_abort();
  }
}

static void path_own_form(wchar_t* buffer, bool resolve) {
  path_module_file_name(buffer, ZB_OWN_PATH_UNITS);
  path_final_step(buffer, ZB_OWN_PATH_UNITS, resolve);
  path_short_directory(buffer, ZB_OWN_PATH_UNITS);
}

void path_own_executable(wchar_t* buffer) { path_own_form(buffer, /* resolve */ false); }

void path_own_executable_resolved(wchar_t* buffer) { path_own_form(buffer, /* resolve */ true); }
