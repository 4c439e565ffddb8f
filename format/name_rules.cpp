#include "format/name_rules.h"

#include "format/little_endian.h"

// The units compared with wide characters below are those of the launcher's wchar_t (UTF-16).
static uint16_t name_unit(const unsigned char* name, uint32_t i) {
  return le_read_u16(name + 2 * (uint64_t)i);
}

// Decision: a component of dots and spaces only ("...", ".. ") is refused as well, since the
// system may trim it to "." or ".."; the packer never writes one (no name ends in either).
// "/" is a separator the system also honours; ":" names a drive or an alternate data stream.
bool name_stays_inside(const unsigned char* name, uint32_t units) {
  uint32_t component = 0;  // units of the current component so far
  uint32_t dots = 0;       // how many of them are "." or " "
  for (uint32_t i = 0; i <= units; i++) {
    uint16_t unit = i < units ? name_unit(name, i) : u'\\';
    if (unit == u'/' || unit == u':') return false;
    if (unit == u'\\') {
      if (component == 0 || dots == component) return false;
      component = 0;
      dots = 0;
      continue;
    }
    component++;
    if (unit == u'.' || unit == u' ') dots++;
  }
  return true;
}

// True when the first `length` units of `base` are the ASCII text `text` of that length.
static bool name_base_is(const uint16_t* base, uint32_t length, const char* text) {
  for (uint32_t i = 0; i < length; i++) {
    if (text[i] == '\0' || base[i] != (uint16_t)text[i]) return false;
  }
  return text[length] == '\0';
}

// True when the component (`units` units from `name`) is a device name, alone or before an
// extension (spaces before the dot ignored): Windows opens the device (or the console)
// instead of a file.
static bool name_component_is_device(const unsigned char* name, uint32_t units) {
  uint16_t base[8];
  uint32_t length = 0;
  for (uint32_t i = 0; i < units; i++) {
    uint16_t unit = name_unit(name, i);
    if (unit == u'.') break;
    if (length == 8) return false;
    if (unit >= u'a' && unit <= u'z') unit = (uint16_t)(unit - u'a' + u'A');
    base[length++] = unit;
  }
  while (length > 0 && base[length - 1] == u' ') length--;
  if (length == 3) {
    return name_base_is(base, 3, "CON") || name_base_is(base, 3, "PRN") ||
           name_base_is(base, 3, "AUX") || name_base_is(base, 3, "NUL");
  }
  if (length == 6) return name_base_is(base, 6, "CONIN$");
  if (length == 7) return name_base_is(base, 7, "CONOUT$");
  return length == 4 && (name_base_is(base, 3, "COM") || name_base_is(base, 3, "LPT")) &&
         base[3] >= u'1' && base[3] <= u'9';
}

bool name_components_kept(const unsigned char* name, uint32_t units) {
  uint32_t start = 0;
  for (uint32_t i = 0; i <= units; i++) {
    if (i < units && name_unit(name, i) != u'\\') continue;
    const unsigned char* component = name + 2 * (uint64_t)start;
    uint32_t length = i - start;
    if (length > 0) {
      uint16_t last = name_unit(component, length - 1);
      if (last == u'.' || last == u' ') return false;
    }
    if (name_component_is_device(component, length)) return false;
    start = i + 1;
  }
  return true;
}
