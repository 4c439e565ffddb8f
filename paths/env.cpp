#include "paths/env.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

#include "base/fatal.h"
#include "base/limits.h"

typedef int(__cdecl* env_wputenv_fn)(const wchar_t*);

// Older runtimes keep their own copy of the environment; each loaded one is updated too.
static const wchar_t* const env_runtime_modules[] = {
    L"ucrtbase.dll",  L"msvcrt.dll",   L"msvcr80.dll", L"msvcr90.dll",
    L"msvcr100.dll", L"msvcr110.dll", L"msvcr120.dll"};

// The largest value the system keeps (32767 units) and its NUL.
static wchar_t env_value_buffer[ZB_ENV_VALUE_UNITS];

void env_name_to_wide(wchar_t* buffer, uint32_t capacity, const char* narrow) {
  size_t used = wcsnlen(buffer, capacity);
  if (used >= capacity) {
    fatal_bounds_abort();
  }
  wchar_t* position = buffer + used;
  size_t left = capacity - used;
  for (const char* byte = narrow; *byte != '\0'; byte++) {
    char one[2] = {*byte, '\0'};
    wchar_t unit[2];
    if (mbstowcs(unit, one, 2) != 1) {
      fatal_bounds_abort();
    }
    if (left < 2) {
      fatal_bounds_abort();
    }
    position[0] = unit[0];
    position[1] = L'\0';
    position++;
    left--;
  }
}

wchar_t* env_read(const char* name) {
  wchar_t wide_name[ZB_ENV_NAME_UNITS] = {0};
  env_name_to_wide(wide_name, ZB_ENV_NAME_UNITS, name);
  env_value_buffer[0] = L'\0';
  DWORD length = GetEnvironmentVariableW(wide_name, env_value_buffer, ZB_ENV_VALUE_UNITS);
  // 0 is both "not set" and "set to the empty text"; a result of the capacity or more is
  // the size the value would need.
  if (length == 0 || length >= ZB_ENV_VALUE_UNITS) {
    return nullptr;
  }
  return _wcsdup(env_value_buffer);
}

void env_set(const char* name, const wchar_t* value) {
  wchar_t wide_name[ZB_ENV_NAME_UNITS] = {0};
  env_name_to_wide(wide_name, ZB_ENV_NAME_UNITS, name);
  SetEnvironmentVariableW(wide_name, value);
  env_update_runtime_copies(name, value);
}

void env_unset(const char* name) {
  wchar_t wide_name[ZB_ENV_NAME_UNITS] = {0};
  env_name_to_wide(wide_name, ZB_ENV_NAME_UNITS, name);
  SetEnvironmentVariableW(wide_name, /* lpValue: remove */ nullptr);
  // "NAME=" removes the variable from each runtime's copy.
  env_update_runtime_copies(name, L"");
}

void env_update_runtime_copies(const char* name, const wchar_t* value) {
  wchar_t wide_name[ZB_ENV_RUNTIME_NAME_UNITS] = {0};
  env_name_to_wide(wide_name, ZB_ENV_RUNTIME_NAME_UNITS, name);
  size_t name_units = wcslen(wide_name);
  size_t value_units = wcslen(value);
  // Name, "=", value and NUL; never released.
  wchar_t* text = (wchar_t*)malloc((name_units + value_units) * sizeof(wchar_t) + 4);
  if (text == nullptr) {
    // Decision: running on without the text would leave the runtimes' copies silently
    // different from the process environment.
    fatal_bounds_abort();
  }
  memcpy(text, wide_name, name_units * sizeof(wchar_t));
  text[name_units] = L'=';
  memcpy(text + name_units + 1, value, (value_units + 1) * sizeof(wchar_t));

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
