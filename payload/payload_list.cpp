#include "payload/payload_list.h"

#include <cinttypes>
#include <cstdio>

#include "base/limits.h"
#include "base/payload_format.h"
#include "payload/pe_image.h"
#include "payload/utf.h"

namespace {

uint64_t list_le(const unsigned char* p, int bytes) {
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; i--) value = (value << 8) | p[i];
  return value;
}

// Reads a NUL-terminated UTF-16 string at `offset` within `end`; false when malformed.
bool list_string(const unsigned char* data, uint64_t offset, uint64_t end, std::u16string* out) {
  out->clear();
  for (uint64_t k = 0; k <= ZB_NAME_MAX_UNITS; k++) {
    if (end - offset < 2 * k + 2) return false;
    char16_t unit = static_cast<char16_t>(list_le(data + offset + 2 * k, 2));
    if (unit == 0) return k > 0;
    out->push_back(unit);
  }
  return false;
}

}  // namespace

bool payload_list(const std::vector<unsigned char>& file, std::string* error) {
  const unsigned char* data = file.data();
  uint64_t length = file.size();
  if (pe_is_pe(file)) {
    uint64_t offset;
    uint64_t size;
    if (!pe_find_section(file, PE_PAYLOAD_SECTION, &offset, &size) || size < PE_PAYLOAD_OFFSET) {
      *error = "the executable holds no payload section";
      return false;
    }
    length = list_le(data + offset, 8);
    if (length > size - PE_PAYLOAD_OFFSET) {
      *error = "the executable's payload section is damaged";
      return false;
    }
    data += offset + PE_PAYLOAD_OFFSET;
  }
  if (length < ZB_PAYLOAD_HEADER_BYTES) {
    *error = "not a payload: shorter than its 16-byte header";
    return false;
  }
  uint64_t table = list_le(data, 8);
  uint64_t stream = list_le(data + 8, 8);
  if (table > length - 16 || stream > length - 16 - table) {
    *error = "not a payload: its header sizes exceed its length";
    return false;
  }
  std::printf("payload: %" PRIu64 " bytes, table %" PRIu64 " bytes, stream %" PRIu64 " bytes\n",
              length, table, stream);
  std::printf("%5s %14s  %s\n", "flags", "size", "name");
  uint64_t end = 16 + table;
  uint64_t position = 16;
  uint64_t entries = 0;
  uint64_t total = 0;
  while (position < end) {
    if (end - position < ZB_ENTRY_FIXED_BYTES) {
      *error = "malformed table: a partial entry at byte " + std::to_string(position);
      return false;
    }
    uint32_t flags = static_cast<uint32_t>(list_le(data + position, 4));
    uint64_t size = list_le(data + position + 4, 8);
    std::u16string name;
    std::u16string second;
    if (flags > ZB_ENTRY_FLAGS_MAX || !list_string(data, position + 12, end, &name)) {
      *error = "malformed entry at byte " + std::to_string(position);
      return false;
    }
    position += 12 + 2 * name.size() + 2;
    if (flags & ZB_ENTRY_FLAG_SECOND_STRING) {
      if (!list_string(data, position, end, &second)) {
        *error = "malformed second string at byte " + std::to_string(position);
        return false;
      }
      position += 2 * second.size() + 2;
    }
    std::printf("%5" PRIu32 " %14" PRIu64 "  %s%s%s\n", flags, size, utf_16_to_8(name).c_str(),
                second.empty() ? "" : " -> ", utf_16_to_8(second).c_str());
    entries++;
    total += size;
  }
  std::printf("%" PRIu64 " entries, %" PRIu64 " bytes\n", entries, total);
  return true;
}
