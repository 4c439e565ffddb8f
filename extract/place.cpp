#include "extract/place.h"

#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

#include "base/fatal.h"
#include "base/wide_text.h"
#include "format/payload_format.h"
#include "paths/env.h"
#include "paths/template.h"

static const wchar_t PLACE_DEFAULT_TEMPLATE[] = L"{TEMP}";

// Codes the mingw-w64 headers lack: a software restriction policy that blocks without a
// message box, and an application control (code integrity) policy (0x800711C7 as HRESULT).
static const unsigned long PLACE_ERROR_NO_SAFER_UI_BY_POLICY = 786;
static const unsigned long PLACE_ERROR_INTEGRITY_POLICY_VIOLATION = 4551;

// Copies `units` units of `text` and a NUL into the place's template. Abort: they do not fit.
static void place_set_template(Place* place, const wchar_t* text, uint32_t units) {
  if (units >= ZB_PATH_UNITS) fatal_bounds_abort();
  wmemcpy(place->path_template, text, units);
  place->path_template[units] = L'\0';
}

// The packed setting as wide text into the template; false when the executable has none.
static bool place_packed_template(Place* place, const PayloadImage* image) {
  uint32_t length = 0;
  const unsigned char* value = payload_image_setting(image, ZB_SETTING_EXTRACT_TO, &length);
  if (value == nullptr) return false;
  // Checked by the packer; a damaged record is sealed by the digest, so only a packer's own
  // fault reaches here.
  uint32_t units = length / 2;
  if (length % 2 != 0 || units == 0 || units > ZB_EXTRACT_TO_MAX_UNITS) {
    fatal_exit(FATAL_MSG_HEADER);
  }
  wchar_t text[ZB_EXTRACT_TO_MAX_UNITS];
  for (uint32_t i = 0; i < units; i++) text[i] = (wchar_t)le_read_u16(value + 2 * i);
  place_set_template(place, text, units);
  return true;
}

// "X:\" (any letter) or "\\" and more: a path that names the same folder whatever the current
// directory and drive, in the parent and the child alike.
static bool place_is_absolute(const wchar_t* path) {
  bool drive = ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
               path[1] == L':' && path[2] == L'\\';
  bool unc = path[0] == L'\\' && path[1] == L'\\' && path[2] != L'\0';
  return drive || unc;
}

void place_choose(Place* place, const PayloadImage* image) {
  place->source = PLACE_DEFAULT;
  wchar_t* variable = env_read(ENV_EXTRACT_TO);
  if (variable != nullptr) {
    place->source = PLACE_VARIABLE;
    // Decision: a value too long for the template is kept cut; place_expand refuses it as
    // longer than the packer takes.
    place_set_template(place, variable, (uint32_t)wcsnlen(variable, ZB_PATH_UNITS - 1));
    free(variable);
  } else if (place_packed_template(place, image)) {
    place->source = PLACE_PACKED;
  } else {
    place_set_template(place, PLACE_DEFAULT_TEMPLATE, (uint32_t)wcslen(PLACE_DEFAULT_TEMPLATE));
  }
}

// The variables an extraction folder's template may name, as the packer takes them.
static const wchar_t* const place_variables[] = {L"TEMP", L"CACHE_DIR", L"HOME", L"EXE_DIR"};
// Longer than any of them.
static const uint32_t PLACE_NAME_UNITS = 16;

// Why `text` is not a template the packer would take (place_expand's rules), in `reason`
// (capacity `units`), as the packer words it; false when it is one. Whether it is absolute is
// checked once expanded.
static bool place_template_refused(const wchar_t* text, wchar_t* reason, size_t units) {
  size_t length = wcsnlen(text, ZB_EXTRACT_TO_MAX_UNITS + 1);
  if (length == 0) {
    swprintf(reason, units, L"is empty");
    return true;
  }
  if (length > ZB_EXTRACT_TO_MAX_UNITS) {
    swprintf(reason, units, L"is longer than %u UTF-16 units", (unsigned)ZB_EXTRACT_TO_MAX_UNITS);
    return true;
  }
  for (size_t at = 0; at < length; at++) {
    wchar_t unit = text[at];
    if (unit < 0x20 || wcschr(L"*?\"<>|", unit) != nullptr) {
      swprintf(reason, units, L"holds a character Windows does not allow in a path");
      return true;
    }
    if (unit == L'}') {
      swprintf(reason, units, L"has a '}' without its '{'");
      return true;
    }
    if (unit != L'{') continue;
    const wchar_t* close = wcschr(text + at, L'}');
    if (close == nullptr) {
      swprintf(reason, units, L"has a '{' without its '}'");
      return true;
    }
    size_t name_units = (size_t)(close - text) - at - 1;
    bool known = false;
    if (name_units < PLACE_NAME_UNITS) {
      wchar_t name[PLACE_NAME_UNITS];
      wmemcpy(name, text + at + 1, name_units);
      name[name_units] = L'\0';
      for (const wchar_t* variable : place_variables) {
        known = known || _wcsicmp(name, variable) == 0;
      }
    }
    if (!known) {
      // Decision: a name longer than the line can hold is cut; the line stays one line.
      swprintf(reason, units,
               L"names '{%.*ls}'; it may name {TEMP}, {CACHE_DIR}, {HOME} or {EXE_DIR}",
               (int)(name_units < 64 ? name_units : 64), text + at + 1);
      return true;
    }
    at = (size_t)(close - text);
  }
  return false;
}

void place_expand(Place* place, const wchar_t* named_suffix) {
  wchar_t reason[160];
  bool refused =
      place_template_refused(place->path_template, reason, sizeof reason / sizeof *reason);
  // A value of the variable is the user's to mend: named, exit code 2. The packed template was
  // checked by the packer, and the default is fixed, so their failures stay the abort.
  if (refused && place->source == PLACE_VARIABLE) {
    fatal_place_template_error(place->path_template, "the variable ZOBRIN_ONEFILE_EXTRACT_TO",
                               reason);
  }
  if (refused || !template_expand(place->folder, place->path_template, ZB_PATH_UNITS)) {
    uint32_t length = 0;
    place->folder[0] = L'\0';
    if (!wide_append_text(place->folder, ZB_PATH_UNITS, &length, place->path_template) ||
        !wide_append_text(place->folder, ZB_PATH_UNITS, &length, named_suffix)) {
      fatal_bounds_abort();
    }
    fatal_expand_error(place->folder);
  }
  // Decision: the temporary directory is taken as the system gives it, as it always was.
  if (place->source != PLACE_DEFAULT && !place_is_absolute(place->folder)) {
    fatal_place_error(place->folder, place->source == PLACE_VARIABLE
                                         ? "the variable ZOBRIN_ONEFILE_EXTRACT_TO"
                                         : "zobrin-pack exe --extract-to");
  }
  // Without final backslashes ("C:\" becomes "C:"), as {TEMP} expands: a "\" and a name follow.
  size_t length = wcslen(place->folder);
  while (length > 0 && place->folder[length - 1] == L'\\') place->folder[--length] = L'\0';
}

void place_hand_over(const wchar_t* folder) { env_set_for_children(ENV_PAYLOAD_FOLDER, folder); }

bool place_take_handed_over(Place* place) {
  wchar_t* folder = env_read(ENV_PAYLOAD_FOLDER);
  if (folder == nullptr) return false;
  uint32_t length = 0;
  place->folder[0] = L'\0';
  if (!wide_append_text(place->folder, ZB_PATH_UNITS, &length, folder)) fatal_bounds_abort();
  free(folder);
  return true;
}

bool place_blocked_by_policy(unsigned long error) {
  return error == ERROR_ACCESS_DISABLED_BY_POLICY || error == PLACE_ERROR_NO_SAFER_UI_BY_POLICY ||
         error == PLACE_ERROR_INTEGRITY_POLICY_VIOLATION;
}
