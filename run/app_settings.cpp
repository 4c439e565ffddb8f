#include "run/app_settings.h"

#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

#include "base/fatal.h"
#include "base/wide_text.h"
#include "format/little_endian.h"
#include "format/payload_format.h"
#include "paths/app_template.h"
#include "paths/env.h"

// The record of `kind` as UTF-16 units: its bytes, with their unit count in *units; null when
// the executable has none. Checked by the packer and sealed by the digest, so only a packer's
// own fault reaches the header error here.
static const unsigned char* app_record(const AppSettings* app, uint32_t kind, uint32_t* units, uint32_t max_units,
                                       bool nul_ended) {
  uint32_t length = 0;
  const unsigned char* value = payload_image_setting(app->image, kind, &length);
  if (value == nullptr) return nullptr;
  *units = length / 2;
  if (length % 2 != 0 || *units == 0 || *units > max_units + (nul_ended ? 1 : 0) ||
      (nul_ended && le_read_u16(value + length - 2) != 0)) {
    fatal_exit(FATAL_MSG_HEADER);
  }
  return value;
}

// Copies the units of `record` from `from` up to its next NUL unit (or `end`) into `text`
// (capacity ZB_COMMAND_LINE_UNITS), NUL-terminated. Returns the index of that NUL unit.
static uint32_t app_copy_text(const unsigned char* record, uint32_t from, uint32_t end,
                              wchar_t* text) {
  uint32_t at = from;
  for (; at < end && le_read_u16(record + 2 * at) != 0; at++) {
    if (at - from + 1 >= ZB_COMMAND_LINE_UNITS) fatal_bounds_abort();
    text[at - from] = (wchar_t)le_read_u16(record + 2 * at);
  }
  text[at - from] = L'\0';
  return at;
}

// Expands `text` into `output` (capacity `capacity`) with {APP_DIR} the application's
// directory. Fatal: the expand error naming `text`.
static void app_expand(const AppSettings* app, const wchar_t* text, wchar_t* output,
                       uint32_t capacity) {
  if (!app_template_expand(output, capacity, text, (uint32_t)wcslen(text), app->app_dir)) {
    fatal_expand_error(text);
  }
}

// The packed working folder into app->directory, absolute, checked to be a folder.
static void app_prepare_directory(AppSettings* app) {
  app->directory[0] = L'\0';
  uint32_t units = 0;
  const unsigned char* record = app_record(app, ZB_SETTING_CWD, &units, ZB_CWD_MAX_UNITS, false);
  if (record == nullptr) return;
  app_copy_text(record, 0, units, app->scratch);
  wchar_t expanded[ZB_PATH_UNITS];
  app_expand(app, app->scratch, expanded, ZB_PATH_UNITS);
  DWORD length =
      GetFullPathNameW(expanded, ZB_PATH_UNITS, app->directory, /* lpFilePart */ nullptr);
  if (length == 0 || length >= ZB_PATH_UNITS) fatal_expand_error(app->scratch);
  DWORD attributes = GetFileAttributesW(app->directory);
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    fatal_working_folder_error(app->directory);
  }
}

void app_settings_prepare(AppSettings* app, const PayloadImage* image, const wchar_t* app_dir) {
  app->image = image;
  app->app_dir = app_dir;
  app->argument_count = 0;
  app->arguments[0] = L'\0';
  uint32_t units = 0;
  const unsigned char* record =
      app_record(app, ZB_SETTING_ARGS, &units, ZB_APP_SETTING_MAX_UNITS, true);
  uint32_t length = 0;
  for (uint32_t at = 0; record != nullptr && at < units; at++) {
    at = app_copy_text(record, at, units, app->scratch);
    if (length >= ZB_COMMAND_LINE_UNITS) fatal_expand_error(app->scratch);
    app_expand(app, app->scratch, app->arguments + length, ZB_COMMAND_LINE_UNITS - length);
    length += (uint32_t)wcslen(app->arguments + length) + 1;
    app->argument_count++;
  }
  app_prepare_directory(app);
}

// The entry "NAME=VALUE" of the variable whose packed entry starts at unit `from` of `record`
// (its operation, NAME=TEMPLATE) into `entry` (capacity ZB_ENV_VALUE_UNITS). Returns the index
// of the entry's NUL unit. Fatal: header error, expand error.
static uint32_t app_variable(AppSettings* app, const unsigned char* record, uint32_t from,
                             uint32_t units, wchar_t* entry) {
  uint16_t operation = le_read_u16(record + 2 * from);
  uint32_t end = app_copy_text(record, from + 1, units, app->scratch);
  wchar_t* equals = wcschr(app->scratch, L'=');
  if ((operation != ZB_ENV_SET && operation != ZB_ENV_PREPEND) || equals == nullptr ||
      equals == app->scratch) {
    fatal_exit(FATAL_MSG_HEADER);
  }
  uint32_t name_units = (uint32_t)(equals - app->scratch) + 1;
  wmemcpy(entry, app->scratch, name_units);
  if (name_units >= ZB_ENV_VALUE_UNITS ||
      !app_template_expand(entry + name_units, ZB_ENV_VALUE_UNITS - name_units, equals + 1,
                           (uint32_t)wcslen(equals + 1), app->app_dir)) {
    fatal_expand_error(app->scratch);
  }
  if (operation == ZB_ENV_SET) return end;
  // The inherited value, read with the name NUL-terminated where its "=" was.
  wchar_t* old = (wchar_t*)malloc((size_t)ZB_ENV_VALUE_UNITS * sizeof(wchar_t));
  if (old == nullptr) fatal_exit(FATAL_MSG_MEMORY);
  *equals = L'\0';
  DWORD inherited = GetEnvironmentVariableW(app->scratch, old, ZB_ENV_VALUE_UNITS);
  *equals = L'=';
  const wchar_t* value = entry + name_units;
  size_t value_units = wcslen(value);
  bool there = inherited > 0 && inherited < ZB_ENV_VALUE_UNITS;
  // Decision: a value already in front (the application started the executable again, and
  // its variables were inherited) is not put there twice.
  bool in_front = there && wcsncmp(old, value, value_units) == 0 &&
                  (old[value_units] == L';' || old[value_units] == L'\0');
  uint32_t length = name_units + (uint32_t)value_units;
  bool fits = true;
  if (in_front) {
    length = name_units;
    fits = wide_append_text(entry, ZB_ENV_VALUE_UNITS, &length, old);
  } else if (there) {
    fits = wide_append_units(entry, ZB_ENV_VALUE_UNITS, &length, L';', 1) &&
           wide_append_text(entry, ZB_ENV_VALUE_UNITS, &length, old);
  }
  free(old);
  if (!fits) fatal_expand_error(app->scratch);
  return end;
}

wchar_t* app_settings_environment(AppSettings* app) {
  uint32_t units = 0;
  const unsigned char* record = app_record(app, ZB_SETTING_ENV, &units, ZB_APP_SETTING_MAX_UNITS, true);
  if (record == nullptr) return nullptr;
  wchar_t* changes = nullptr;
  size_t capacity = 0;
  size_t used = 0;
  uint32_t count = 0;
  for (uint32_t at = 0; at < units; at++, count++) {
    at = app_variable(app, record, at, units, app->entry);
    size_t entry_units = wcslen(app->entry) + 1;
    if (used + entry_units > capacity) {
      capacity = 2 * capacity > used + entry_units ? 2 * capacity : used + entry_units;
      wchar_t* grown = (wchar_t*)realloc(changes, capacity * sizeof(wchar_t));
      if (grown == nullptr) fatal_exit(FATAL_MSG_MEMORY);
      changes = grown;
    }
    wmemcpy(changes + used, app->entry, entry_units);
    used += entry_units;
  }
  wchar_t* block = env_block_with_changes(changes, count);
  free(changes);
  if (block == nullptr) fatal_exit(FATAL_MSG_MEMORY);
  return block;
}
