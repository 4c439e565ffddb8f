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

static const uint32_t ENV_RUNTIME_COUNT =
    sizeof env_runtime_modules / sizeof env_runtime_modules[0];

// The process's runtimes as last looked up.
struct EnvRuntimes {
  // Each listed runtime's _wputenv, or null where the module is not loaded or has none, as
  // looked up when `loader_epoch` had the value `entries_epoch`.
  env_wputenv_fn entries[ENV_RUNTIME_COUNT];
  LONG entries_epoch;
  bool entries_known;
  // Counts every module loaded or unloaded in the process, on any thread, once the loader's
  // notification is registered (env_watch_loader).
  volatile LONG loader_epoch;
  bool loader_tried;
  bool loader_watched;
};
static EnvRuntimes env_runtimes = {};

typedef void(CALLBACK* env_loader_notification_fn)(ULONG reason, const void* data,
                                                   void* context);
typedef LONG(NTAPI* env_register_notification_fn)(ULONG flags,
                                                  env_loader_notification_fn notification,
                                                  void* context, void** cookie);

static void CALLBACK env_loader_changed(ULONG, const void*, void*) {
  InterlockedIncrement(&env_runtimes.loader_epoch);
}

// Registers env_loader_changed with the loader (ntdll's LdrRegisterDllNotification, looked
// up at run time), once. Without it every update looks the runtimes up again.
static void env_watch_loader(void) {
  if (env_runtimes.loader_tried) return;
  env_runtimes.loader_tried = true;
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (ntdll == nullptr) return;
  env_register_notification_fn register_notification = (env_register_notification_fn)(
      void*)GetProcAddress(ntdll, "LdrRegisterDllNotification");
  void* cookie = nullptr;
  if (register_notification != nullptr &&
      register_notification(/* Flags */ 0, env_loader_changed, /* Context */ nullptr,
                            &cookie) >= 0) {
    env_runtimes.loader_watched = true;
  }
}

// Fills env_runtimes.entries, unless they were looked up since the last module was loaded or
// unloaded. Decision: the lookups are kept because each GetModuleHandleW of a module that is
// not loaded searches the DLL path under Wine (about 0.1 ms, six names per update), and a
// launch changes the environment several times while no module is loaded in between.
static void env_find_runtimes(void) {
  env_watch_loader();
  EnvRuntimes* runtimes = &env_runtimes;
  LONG epoch = InterlockedCompareExchange(&runtimes->loader_epoch, 0, 0);
  if (runtimes->loader_watched && runtimes->entries_known && epoch == runtimes->entries_epoch) {
    return;
  }
  for (uint32_t i = 0; i < ENV_RUNTIME_COUNT; i++) {
    HMODULE module = GetModuleHandleW(env_runtime_modules[i]);
    runtimes->entries[i] =
        module == nullptr ? nullptr : (env_wputenv_fn)(void*)GetProcAddress(module, "_wputenv");
  }
  runtimes->entries_epoch = epoch;
  runtimes->entries_known = true;
}

// Fatal (abort): no NUL within `capacity` units of `name`.
static void env_check_name(const wchar_t* name, uint32_t capacity) {
  if (wcsnlen(name, capacity) >= capacity) {
    fatal_bounds_abort();
  }
}

wchar_t* env_read(const wchar_t* name) {
  env_check_name(name, ZB_ENV_NAME_UNITS);
  // The largest value the system keeps (32767 units) and its NUL.
  wchar_t value[ZB_ENV_VALUE_UNITS];
  value[0] = L'\0';
  DWORD length = GetEnvironmentVariableW(name, value, ZB_ENV_VALUE_UNITS);
  // 0 is both "not set" and "set to the empty text"; a result of the capacity or more is
  // the size the value would need.
  if (length == 0 || length >= ZB_ENV_VALUE_UNITS) {
    return nullptr;
  }
  return _wcsdup(value);
}

bool env_exists(const wchar_t* name) {
  env_check_name(name, ZB_ENV_NAME_UNITS);
  SetLastError(ERROR_SUCCESS);
  return GetEnvironmentVariableW(name, /* lpBuffer */ nullptr, /* nSize */ 0) != 0 ||
         GetLastError() != ERROR_ENVVAR_NOT_FOUND;
}

void env_set(const wchar_t* name, const wchar_t* value) {
  env_check_name(name, ZB_ENV_NAME_UNITS);
  SetEnvironmentVariableW(name, value);
  env_update_runtime_copies(name, value);
}

void env_set_for_children(const wchar_t* name, const wchar_t* value) {
  env_check_name(name, ZB_ENV_NAME_UNITS);
  SetEnvironmentVariableW(name, value);
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
  env_find_runtimes();
  for (env_wputenv_fn entry : env_runtimes.entries) {
    if (entry != nullptr) entry(text);
  }
}

// The units of the name of the entry "NAME=VALUE" at `entry`: up to its first "=" after the
// first unit (the system's own entries such as "=C:=C:\dir" start with one).
static uint32_t env_name_units(const wchar_t* entry) {
  const wchar_t* equals = entry[0] == L'\0' ? nullptr : wcschr(entry + 1, L'=');
  return equals == nullptr ? (uint32_t)wcslen(entry) : (uint32_t)(equals - entry);
}

// True when the entry at `entry` names one of the `count` entries at `changes`.
static bool env_changed(const wchar_t* entry, const wchar_t* changes, uint32_t count) {
  uint32_t units = env_name_units(entry);
  for (uint32_t i = 0; i < count; i++, changes += wcslen(changes) + 1) {
    uint32_t other = env_name_units(changes);
    if (CompareStringOrdinal(entry, (int)units, changes, (int)other, /* bIgnoreCase */ TRUE) ==
        CSTR_EQUAL) {
      return true;
    }
  }
  return false;
}

wchar_t* env_block_with_changes(const wchar_t* changes, uint32_t count) {
  wchar_t* own = GetEnvironmentStringsW();
  if (own == nullptr) return nullptr;
  size_t own_units = 0;
  while (own[own_units] != L'\0') own_units += wcslen(own + own_units) + 1;
  size_t change_units = 0;
  for (uint32_t i = 0; i < count; i++) change_units += wcslen(changes + change_units) + 1;
  // Every entry of both, and the block's final NUL (two for a block without entries).
  wchar_t* block = (wchar_t*)malloc((own_units + change_units + 2) * sizeof(wchar_t));
  if (block == nullptr) {
    FreeEnvironmentStringsW(own);
    return nullptr;
  }
  size_t length = 0;
  for (const wchar_t* entry = own; *entry != L'\0'; entry += wcslen(entry) + 1) {
    if (env_changed(entry, changes, count)) continue;
    size_t units = wcslen(entry) + 1;
    wmemcpy(block + length, entry, units);
    length += units;
  }
  FreeEnvironmentStringsW(own);
  const wchar_t* change = changes;
  for (uint32_t i = 0; i < count; i++) {
    size_t units = wcslen(change) + 1;
    const wchar_t* value = change + env_name_units(change);
    if (value[0] == L'=' && value[1] != L'\0') {
      wmemcpy(block + length, change, units);
      length += units;
    }
    change += units;
  }
  block[length++] = L'\0';
  if (length == 1) block[length++] = L'\0';
  return block;
}
