#include "format/name_path.h"

#include "format/little_endian.h"

bool name_append_path(wchar_t* path, uint32_t capacity, uint32_t* length,
                      const unsigned char* name, uint32_t units) {
  if (*length >= capacity || units >= capacity - *length) return false;
  for (uint32_t i = 0; i < units; i++) {
    path[*length + i] = (wchar_t)le_read_u16(name + 2 * (uint64_t)i);
  }
  *length += units;
  path[*length] = L'\0';
  return true;
}

bool name_equals_text(const unsigned char* name, uint32_t units, const wchar_t* text,
                      uint32_t count) {
  if (units != count) return false;
  for (uint32_t i = 0; i < units; i++) {
    if (text[i] != (wchar_t)le_read_u16(name + 2 * (uint64_t)i)) return false;
  }
  return true;
}
