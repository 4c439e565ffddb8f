#include "payload/payload_list.h"

#include <cinttypes>
#include <cstdio>

#include "base/little_endian.h"
#include "base/payload_format.h"
#include "payload/pack_error.h"
#include "payload/pe_image.h"
#include "payload/utf.h"

namespace {

// Reads a NUL-terminated UTF-16 string at `offset` within `end`; false when malformed.
bool list_string(const unsigned char* data, uint64_t offset, uint64_t end, std::u16string* out) {
  out->clear();
  for (uint64_t k = 0; k <= ZB_NAME_MAX_UNITS; k++) {
    if (end - offset < ZB_ENTRY_UNIT_BYTES * (k + 1)) return false;
    char16_t unit = le_read_u16(data + offset + ZB_ENTRY_UNIT_BYTES * k);
    if (unit == 0) return k > 0;
    out->push_back(unit);
  }
  return false;
}

// Bytes a string of `units` units takes with its NUL.
uint64_t list_string_bytes(const std::u16string& units) {
  return ZB_ENTRY_UNIT_BYTES * (units.size() + 1);
}

}  // namespace

void payload_list(const std::vector<unsigned char>& file, const std::string& subject) {
  auto fail = [&](const std::string& reason) { throw PackError(subject + ": " + reason); };
  const unsigned char* data = file.data();
  uint64_t length = file.size();
  if (pe_is_pe(file)) {
    std::optional<PeSection> section = pe_find_section(file, PE_PAYLOAD_SECTION);
    if (!section || section->size < PE_PAYLOAD_OFFSET) {
      fail("the executable holds no payload section");
    }
    length = le_read_u64(data + section->offset);
    if (length > section->size - PE_PAYLOAD_OFFSET) fail("the executable's payload section is damaged");
    data += section->offset + PE_PAYLOAD_OFFSET;
  }
  if (length < ZB_PAYLOAD_HEADER_BYTES) fail("not a payload: shorter than its 16-byte header");
  uint64_t table = le_read_u64(data + ZB_PAYLOAD_TABLE_SIZE_OFFSET);
  uint64_t stream = le_read_u64(data + ZB_PAYLOAD_STREAM_SIZE_OFFSET);
  if (table > length - ZB_PAYLOAD_HEADER_BYTES ||
      stream > length - ZB_PAYLOAD_HEADER_BYTES - table) {
    fail("not a payload: its header sizes exceed its length");
  }
  std::printf("payload: %" PRIu64 " bytes, table %" PRIu64 " bytes, stream %" PRIu64 " bytes\n",
              length, table, stream);
  std::printf("%5s %14s  %s\n", "flags", "size", "name");
  uint64_t end = ZB_PAYLOAD_HEADER_BYTES + table;
  uint64_t position = ZB_PAYLOAD_HEADER_BYTES;
  uint64_t entries = 0;
  uint64_t total = 0;
  while (position < end) {
    if (end - position < ZB_ENTRY_FIXED_BYTES) {
      fail("malformed table: a partial entry at byte " + std::to_string(position));
    }
    uint32_t flags = le_read_u32(data + position + ZB_ENTRY_FLAGS_OFFSET);
    uint64_t size = le_read_u64(data + position + ZB_ENTRY_SIZE_OFFSET);
    std::u16string name;
    std::u16string second;
    if (flags > ZB_ENTRY_FLAGS_MAX ||
        !list_string(data, position + ZB_ENTRY_FIXED_BYTES, end, &name)) {
      fail("malformed entry at byte " + std::to_string(position));
    }
    position += ZB_ENTRY_FIXED_BYTES + list_string_bytes(name);
    if (flags & ZB_ENTRY_FLAG_SECOND_STRING) {
      if (!list_string(data, position, end, &second)) {
        fail("malformed second string at byte " + std::to_string(position));
      }
      position += list_string_bytes(second);
    }
    std::printf("%5" PRIu32 " %14" PRIu64 "  %s%s%s\n", flags, size, utf_16_to_8(name).c_str(),
                second.empty() ? "" : " -> ", utf_16_to_8(second).c_str());
    entries++;
    total += size;
  }
  std::printf("%" PRIu64 " entries, %" PRIu64 " bytes\n", entries, total);
}
