#include "paths/env.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

#include "base/fatal.h"
#include "base/limits.h"
#include "base/wide_text.h"

typedef int(__cdecl* env_wputenv_fn)(const wchar_t*);

// Older runtimes keep their own copy of the environment; each loaded one is updated too.
static const wchar_t* const env_runtime_modules[] = {
    L"ucrtbase.dll",  L"msvcrt.dll",   L"msvcr80.dll", L"msvcr90.dll",
    L"msvcr100.dll", L"msvcr110.dll", L"msvcr120.dll"};

// The largest value the system keeps (32767 units) and its NUL.
static wchar_t env_value_buffer[ZB_ENV_VALUE_UNITS];

// Fatal (abort): no NUL within `capacity` units of `name`.
static void env_check_name(const wchar_t* name, uint32_t capacity) {
  if (wcsnlen(name, capacity) >= capacity) {
    fatal_bounds_abort();
  }
}

wchar_t* env_read(const wchar_t* name) {
  env_check_name(name, ZB_ENV_NAME_UNITS);
  env_value_buffer[0] = L'\0';
  DWORD length = GetEnvironmentVariableW(name, env_value_buffer, ZB_ENV_VALUE_UNITS);
  // 0 is both "not set" and "set to the empty text"; a result of the capacity or more is
  // the size the value would need.
  if (length == 0 || length >= ZB_ENV_VALUE_UNITS) {
    return nullptr;
  }
  return _wcsdup(env_value_buffer);
}

void env_set(const wchar_t* name, const wchar_t* value) {
  env_check_name(name, ZB_ENV_NAME_UNITS);
  SetEnvironmentVariableW(name, value);
  env_update_runtime_copies(name, value);
}

void env_unset(const wchar_t* name) {
  env_check_name(name, ZB_ENV_NAME_UNITS);
  SetEnvironmentVariableW(name, /* lpValue: remove */ nullptr);
  // "NAME=" removes the variable from each runtime's copy.
  env_update_runtime_copies(name, L"");
}

void env_update_runtime_copies(const wchar_t* name, const wchar_t* value) {
  env_check_name(name, ZB_ENV_RUNTIME_NAME_UNITS);
  size_t units = wcslen(name) + 1 + wcslen(value) + 1;
  // Name, "=", value and NUL; never released.
  wchar_t* text = (wchar_t*)malloc(units * sizeof(wchar_t));
  if (text == nullptr) {
    // Decision: running on without the text would leave the runtimes' copies silently
    // different from the process environment.
    fatal_bounds_abort();
  }
  text[0] = L'\0';
  uint32_t at = 0;
  wide_append_text(text, (uint32_t)units, &at, name);
  wide_append_units(text, (uint32_t)units, &at, L'=', 1);
  wide_append_text(text, (uint32_t)units, &at, value);

  _wputenv(text);
  for (const wchar_t* module_name : env_runtime_modules) {
    HMODULE module = GetModuleHandleW(module_name);
    if (module == nullptr) {
      continue;
    }
    FARPROC entry = GetProcAddress(module, "_wputenv");
    if (entry == nullptr) {
      continue;
    }
    ((env_wputenv_fn)(void*)entry)(text);
  }
}
