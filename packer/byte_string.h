// Building little-endian byte strings (headers, table entries, object files).
#pragma once

#include <cstdint>
#include <string>

#include "format/little_endian.h"

// Appends the low `bytes` bytes of `value`, least significant first.
inline void append_le(std::string* out, uint64_t value, int bytes) {
  unsigned char field[8];
  le_write(field, value, bytes);
  out->append(reinterpret_cast<const char*>(field), static_cast<size_t>(bytes));
}

inline void append_u32(std::string* out, uint32_t value) { append_le(out, value, 4); }
inline void append_u64(std::string* out, uint64_t value) { append_le(out, value, 8); }

// Appends UTF-16 units and a NUL unit, as the payload stores names.
inline void append_utf16z(std::string* out, const std::u16string& units) {
  for (char16_t unit : units) append_le(out, unit, 2);
  append_le(out, 0, 2);
}
