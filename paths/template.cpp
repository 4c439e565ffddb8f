#include "paths/template.h"

#include <shlobj.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <wctype.h>
#include <windows.h>

#include "base/fatal.h"
#include "base/limits.h"
#include "base/wide_text.h"
#include "paths/env.h"
#include "paths/path_utils.h"
#include "paths/shell.h"

// Looked up in this order.
enum TemplateVariable {
  TEMPLATE_TEMP,
  TEMPLATE_PROGRAM,
  TEMPLATE_PROGRAM_BASE,
  TEMPLATE_PROGRAM_DIR,
  TEMPLATE_PID,
  TEMPLATE_HOME,
  TEMPLATE_CACHE_DIR,
  TEMPLATE_RANDOM,
  TEMPLATE_TIME_US,
  TEMPLATE_TIME,
  TEMPLATE_EXE_DIR,
  TEMPLATE_VARIABLE_COUNT
};

static const wchar_t* const template_names[TEMPLATE_VARIABLE_COUNT] = {
    L"TEMP", L"PROGRAM",   L"PROGRAM_BASE", L"PROGRAM_DIR", L"PID",
    L"HOME", L"CACHE_DIR", L"RANDOM",       L"TIME_US",     L"TIME", L"EXE_DIR"};

// Moves past `length` units that are already in place at *position.
static void template_advance(wchar_t** position, uint32_t* room, size_t length) {
  *position += length;
  *room -= (uint32_t)length;
}

// Appends `value` at *position, a unit only while two units (it and the NUL) remain.
// Fatal (abort): the value does not fit.
static void template_append_value(wchar_t** position, uint32_t* room, const wchar_t* value) {
  uint32_t written = 0;
  bool fits = wide_append_text(*position, *room, &written, value);
  template_advance(position, room, written);
  if (!fits) {
    fatal_bounds_abort();
  }
}

// Removes every backslash just before *position, back to the start of `output`.
static void template_drop_trailing_backslashes(wchar_t* output, wchar_t** position,
                                               uint32_t* room) {
  while (*position > output && (*position)[-1] == L'\\') {
    (*position)--;
    **position = L'\0';
    (*room)++;
  }
}

// The system writes the temporary directory in place. False when it cannot be read or does
// not fit: the payload would otherwise land in the root of the current drive.
static bool template_value_temp(wchar_t** position, uint32_t* room) {
  DWORD length = GetTempPathW(*room, *position);
  if (length == 0 || length >= *room) {
    **position = L'\0';
    return false;
  }
  template_advance(position, room, length);
  return true;
}

// Argument 0 as the runtime split the command line. Fatal (abort): no argument 0, or it
// does not fit.
static void template_value_program(wchar_t** position, uint32_t* room) {
  wchar_t** argv = *__p___wargv();
  if (argv == nullptr || argv[0] == nullptr) {
    fatal_bounds_abort();
  }
  template_append_value(position, room, argv[0]);
}

// "{PROGRAM}" expanded in place, then without a final ".exe" (`base`) or cut at its last
// backslash. False when the nested expansion fails.
static bool template_value_program_part(wchar_t** position, uint32_t* room, bool base) {
  if (!template_expand(*position, L"{PROGRAM}", *room)) {
    return false;
  }
  size_t length = wcslen(*position);
  if (base) {
    if (length >= 4 && _wcsicmp(*position + length - 4, L".exe") == 0) {
      length -= 4;
      (*position)[length] = L'\0';
    }
  } else {
    wchar_t* last = wcsrchr(*position, L'\\');
    if (last != nullptr) {
      *last = L'\0';
      length = (size_t)(last - *position);
    }
  }
  template_advance(position, room, length);
  return true;
}

// The directory of the executable's own path as the system gives it (GetModuleFileNameW: the
// same in both roles, whatever argument 0 says), without its final backslash. Fatal (abort):
// no path, or one that does not fit.
static void template_value_exe_dir(wchar_t** position, uint32_t* room) {
  wchar_t own[ZB_PATH_UNITS];
  path_module_file_name(own, ZB_PATH_UNITS);
  wchar_t* last = wcsrchr(own, L'\\');
  if (last != nullptr) *last = L'\0';
  template_append_value(position, room, own);
}

// The parent's id from ZOBRIN_ONEFILE_PARENT, digits only, or the own process id.
// Fatal (abort): a unit that is not a decimal digit, or a value that does not fit.
static void template_value_pid(wchar_t** position, uint32_t* room) {
  wchar_t* parent = env_read(ENV_PARENT);
  if (parent != nullptr) {
    for (const wchar_t* unit = parent; *unit != L'\0'; unit++) {
      if (!iswctype(*unit, _DIGIT)) {
        fatal_bounds_abort();
      }
    }
    template_append_value(position, room, parent);
    free(parent);
    return;
  }
  wchar_t text[ZB_PID_TEXT_UNITS];
  swprintf(text, ZB_PID_TEXT_UNITS, L"%ld", (long)GetCurrentProcessId());
  template_append_value(position, room, text);
}

// A shell folder; false unless the system reports S_OK (S_FALSE included).
static bool template_value_folder(wchar_t** position, uint32_t* room, int folder_id) {
  wchar_t folder[ZB_FOLDER_UNITS];
  folder[0] = L'\0';
  HRESULT result = shell_folder_path(folder_id, folder);
  if (result != S_OK) {
    return false;
  }
  template_append_value(position, room, folder);
  return true;
}

static int64_t template_system_time(void) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return (int64_t)(((uint64_t)now.dwHighDateTime << 32) | now.dwLowDateTime);
}

typedef BOOLEAN(WINAPI* template_gen_random)(void* buffer, ULONG length);

// Four bytes from the system's cryptographic generator (advapi32's RtlGenRandom, exported
// as SystemFunction036, looked up at run time so the executable imports only kernel32).
// False when the library, the function or the bytes cannot be had.
static bool template_system_random(uint32_t* seed) {
  HMODULE advapi = LoadLibraryExW(L"advapi32.dll", /* hFile */ nullptr,
                                  LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (advapi == nullptr) return false;
  template_gen_random generate =
      (template_gen_random)(void*)GetProcAddress(advapi, "SystemFunction036");
  return generate != nullptr && generate(seed, sizeof *seed);
}

// A seed from what the process has at hand: the performance counter, its own stack address
// (varied by address-space layout randomisation), the process and thread ids and the time,
// mixed (the finaliser of splitmix64) and folded to 32 bits.
static uint32_t template_cheap_seed(void) {
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  uint64_t mixed = (uint64_t)counter.QuadPart ^ (uint64_t)(uintptr_t)&counter ^
                   ((uint64_t)GetCurrentProcessId() << 32 | GetCurrentThreadId()) ^
                   (uint64_t)template_system_time() * 0x9E3779B97F4A7C15ull;
  mixed = (mixed ^ (mixed >> 30)) * 0xBF58476D1CE4E5B9ull;
  mixed = (mixed ^ (mixed >> 27)) * 0x94D049BB133111EBull;
  mixed ^= mixed >> 31;
  return (uint32_t)mixed ^ (uint32_t)(mixed >> 32);
}

// The seed of a fresh random text: as `seed` asks, the cheap one when the system's generator
// cannot be had.
static uint32_t template_random_seed(TemplateSeed seed) {
  uint32_t drawn = 0;
  if (seed == TEMPLATE_SEED_SYSTEM && template_system_random(&drawn)) return drawn;
  return template_cheap_seed();
}

void template_random_text(uint32_t seed, wchar_t* text, uint32_t capacity) {
  static const char alphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  if (capacity < ZB_RANDOM_TEXT_UNITS) {
    fatal_bounds_abort();
  }
  uint32_t state = seed == 0 ? 1 : seed;
  uint64_t bits = 0;
  for (int step = 0; step < 8; step++) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    bits = (bits << 8) | (state & 0xFF);
  }
  // 64 bits: ten 6-bit groups from the top, then the low 4 bits and two zero bits.
  for (int group = 0; group < 10; group++) {
    text[group] = (wchar_t)alphabet[(bits >> (58 - 6 * group)) & 63];
  }
  text[10] = (wchar_t)alphabet[(bits & 15) << 2];
  text[11] = L'\0';
}

// A value kept in `name` once drawn: read back when present, otherwise drawn, published and
// then appended (so it stays set even if the append ends the process).
static void template_value_published(wchar_t** position, uint32_t* room, const wchar_t* name,
                                     int variable, TemplateSeed seed) {
  wchar_t* value = env_read(name);
  if (value != nullptr) {
    template_append_value(position, room, value);
    free(value);
    return;
  }
  wchar_t fresh[ZB_TIME_TEXT_UNITS];
  if (variable == TEMPLATE_RANDOM) {
    template_random_text(template_random_seed(seed), fresh, ZB_TIME_TEXT_UNITS);
  } else if (variable == TEMPLATE_TIME_US) {
    long microseconds = (long)((template_system_time() / 10) % 1000000);
    swprintf(fresh, ZB_TIME_TEXT_UNITS, L"%06ld", microseconds);
  } else {
    swprintf(fresh, ZB_TIME_TEXT_UNITS, L"%lld", (long long)template_system_time());
  }
  // Read back with env_read here and by the child, never through a runtime's copy.
  env_set_for_children(name, fresh);
  template_append_value(position, room, fresh);
}

// Looks `name` up and appends its value at *position. False for an unknown name and for the
// failures of the values themselves.
static bool template_append_variable(wchar_t* output, wchar_t** position, uint32_t* room,
                                     const wchar_t* name, TemplateSeed seed) {
  int variable = 0;
  while (variable < TEMPLATE_VARIABLE_COUNT && _wcsicmp(name, template_names[variable]) != 0) {
    variable++;
  }
  switch (variable) {
    case TEMPLATE_TEMP:
      if (!template_value_temp(position, room)) {
        return false;
      }
      break;
    case TEMPLATE_PROGRAM:
      template_value_program(position, room);
      break;
    case TEMPLATE_PROGRAM_BASE:
      return template_value_program_part(position, room, /* base */ true);
    case TEMPLATE_PROGRAM_DIR:
      return template_value_program_part(position, room, /* base */ false);
    case TEMPLATE_PID:
      template_value_pid(position, room);
      break;
    case TEMPLATE_HOME:
      if (!template_value_folder(position, room, CSIDL_PROFILE)) {
        return false;
      }
      break;
    case TEMPLATE_CACHE_DIR:
      if (!template_value_folder(position, room, CSIDL_LOCAL_APPDATA)) {
        return false;
      }
      break;
    case TEMPLATE_RANDOM:
      template_value_published(position, room, ENV_RANDOM, variable, seed);
      break;
    case TEMPLATE_TIME_US:
      template_value_published(position, room, ENV_TIME_US, variable, seed);
      break;
    case TEMPLATE_TIME:
      template_value_published(position, room, ENV_START, variable, seed);
      break;
    case TEMPLATE_EXE_DIR:
      template_value_exe_dir(position, room);
      break;
    default:
      return false;
  }
  if (variable == TEMPLATE_TEMP || variable == TEMPLATE_HOME || variable == TEMPLATE_CACHE_DIR) {
    template_drop_trailing_backslashes(output, position, room);
  }
  return true;
}

bool template_expand(wchar_t* output, const wchar_t* path_template, uint32_t capacity) {
  return template_expand_seeded(output, path_template, capacity, TEMPLATE_SEED_SYSTEM);
}

bool template_expand_seeded(wchar_t* output, const wchar_t* path_template, uint32_t capacity,
                            TemplateSeed seed) {
  if (capacity == 0) {
    fatal_bounds_abort();
  }
  wchar_t name[ZB_TEMPLATE_NAME_UNITS];
  uint32_t name_units = 0;
  bool collecting = false;
  // Decision: a name longer than the name buffer matches no variable; it is collected no
  // further and fails like an unknown name when its "}" comes.
  bool name_too_long = false;
  wchar_t* position = output;
  uint32_t room = capacity;
  output[0] = L'\0';
  for (const wchar_t* unit = path_template;; unit++) {
    wchar_t c = *unit;
    if (c == L'\0') {
      // A "{" without its "}" is dropped.
      *position = L'\0';
      return true;
    }
    if (c == L'{') {
      collecting = true;
      name_units = 0;
      name_too_long = false;
      continue;
    }
    if (collecting && c == L'}') {
      collecting = false;
      name[name_units] = L'\0';
      if (name_too_long || !template_append_variable(output, &position, &room, name, seed)) {
        return false;
      }
      continue;
    }
    if (collecting) {
      if (name_units + 1 < ZB_TEMPLATE_NAME_UNITS) {
        name[name_units++] = c;
      } else {
        name_too_long = true;
      }
      continue;
    }
    // A literal, "}" outside a placeholder included.
    uint32_t written = 0;
    if (!wide_append_units(position, room, &written, c, 1)) {
      return false;
    }
    template_advance(&position, &room, written);
  }
}
