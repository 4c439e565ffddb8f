#include "packer/payload_read.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>

#include "format/little_endian.h"
#include "format/payload_format.h"
#include "format/payload_table.h"
#include "packer/codec.h"
#include "packer/pack_error.h"
#include "packer/pe_image.h"
#include "packer/utf.h"

namespace {

// The units of a name the table holds, copied out.
std::u16string table_units(const unsigned char* name, uint32_t units) {
  std::u16string out;
  for (uint32_t i = 0; i < units; i++) out.push_back(le_read_u16(name + 2 * uint64_t(i)));
  return out;
}

}  // namespace

PayloadArray payload_locate(const std::vector<unsigned char>& file, const std::string& subject) {
  auto fail = [&](const std::string& reason) { throw PackError(subject + ": " + reason); };
  PayloadArray array;
  array.data = file.data();
  array.length = file.size();
  if (pe_is_pe(file)) {
    std::optional<PeSection> section = pe_find_section(file, PE_PAYLOAD_SECTION);
    if (!section || section->size < PE_PAYLOAD_OFFSET) {
      fail("the executable holds no payload section");
    }
    if (section->offset > file.size() || section->size > file.size() - section->offset) {
      fail("the executable is cut short: its payload section ends past the end of the file");
    }
    array.section_head = file.data() + section->offset;
    array.length = le_read_u64(array.section_head);
    if (array.length > section->size - PE_PAYLOAD_OFFSET) {
      fail("the executable's payload section is damaged");
    }
    array.data = array.section_head + PE_PAYLOAD_OFFSET;
    array.after = section->size - PE_PAYLOAD_OFFSET - array.length;
  }
  if (array.length < ZB_PAYLOAD_HEADER_BYTES) {
    fail("not a payload: shorter than its 16-byte header");
  }
  array.table = le_read_u64(array.data + ZB_PAYLOAD_TABLE_SIZE_OFFSET);
  array.stream = le_read_u64(array.data + ZB_PAYLOAD_STREAM_SIZE_OFFSET);
  if (array.table > array.length - ZB_PAYLOAD_HEADER_BYTES ||
      array.stream > array.length - ZB_PAYLOAD_HEADER_BYTES - array.table) {
    fail("not a payload: its header sizes exceed its length");
  }
  return array;
}

void payload_entries(const PayloadArray& array, const std::string& subject,
                     const std::function<void(const TableEntry&)>& visit, bool lenient) {
  // Lenient, the walk ends quietly at the first malformed entry.
  auto fail = [&](const std::string& reason) {
    if (!lenient) throw PackError(subject + ": " + reason);
  };
  TableCursor cursor = table_cursor(table_of_array(array.data));
  for (;;) {
    // Offsets in messages count from the array's first byte.
    const uint64_t position = ZB_PAYLOAD_HEADER_BYTES + cursor.position;
    PayloadEntry found;
    TableStep step = table_next(&cursor, &found);
    if (step == TABLE_END) return;
    if (step == TABLE_PARTIAL) {
      fail("malformed table: a partial entry at byte " + std::to_string(position));
      return;
    }
    if (step == TABLE_BAD_ENTRY) {
      fail("malformed entry at byte " + std::to_string(position));
      return;
    }
    if (step == TABLE_BAD_SECOND) {
      uint64_t second = position + ZB_ENTRY_FIXED_BYTES +
                        ZB_ENTRY_UNIT_BYTES * (uint64_t(found.name_units) + 1);
      fail("malformed second string at byte " + std::to_string(second));
      return;
    }
    TableEntry entry;
    entry.offset = position;
    entry.flags = found.flags;
    entry.size = found.size;
    entry.name = table_units(found.name, found.name_units);
    if (found.second != nullptr) entry.second = table_units(found.second, found.second_units);
    visit(entry);
  }
}

SectionTail payload_tail(const PayloadArray& array, const std::string& subject) {
  uint64_t flags = le_read_u64(array.section_head + ZB_SECTION_FLAGS_OFFSET);
  SectionTail tail;
  switch (section_tail_parse(array.data + array.length, array.after, flags, &tail)) {
    case SECTION_TAIL_OK:
      return tail;
    case SECTION_TAIL_DIGESTS_PAST:
      throw PackError(subject + ": the file digests after the payload run past its section");
    case SECTION_TAIL_SETTINGS_PAST:
      throw PackError(subject + ": the settings after the payload run past its section");
    case SECTION_TAIL_SETTINGS_MALFORMED:
      break;
  }
  throw PackError(subject + ": the settings after the payload are malformed (a record runs "
                  "past them, or a kind is unknown or repeated)");
}

std::string payload_settings_block(const SectionTail& tail) {
  if (tail.settings == nullptr) return std::string();
  return std::string(reinterpret_cast<const char*>(tail.settings - ZB_SETTINGS_LENGTH_BYTES),
                     static_cast<size_t>(ZB_SETTINGS_LENGTH_BYTES + tail.settings_bytes));
}

std::string payload_entry_name(const TableEntry& entry) {
  std::u16string shown;
  for (char16_t unit : entry.name) {
    if (unit < 0x20 || unit == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(unit));
      for (const char* c = escaped; *c; c++) shown.push_back(static_cast<char16_t>(*c));
    } else {
      shown.push_back(unit);
    }
  }
  return "'" + utf_16_to_8(shown) + "'";
}

std::optional<std::vector<unsigned char>> payload_main_head(const PayloadArray& array,
                                                            size_t limit) {
  if (array.table < ZB_ENTRY_FIXED_BYTES) return std::nullopt;
  uint64_t size =
      le_read_u64(array.data + ZB_PAYLOAD_HEADER_BYTES + ZB_ENTRY_SIZE_OFFSET);
  std::vector<unsigned char> head(static_cast<size_t>(std::min<uint64_t>(size, limit)));
  std::unique_ptr<PieceDecoder> decoder;
  try {
    decoder = std::make_unique<PieceDecoder>();
  } catch (const PackError&) {
    return std::nullopt;
  }
  const unsigned char* stream = array.data + ZB_PAYLOAD_HEADER_BYTES + array.table;
  const size_t stream_size = static_cast<size_t>(array.stream);
  size_t in_pos = 0;
  size_t out_pos = 0;
  while (out_pos < head.size()) {
    size_t before_in = in_pos;
    size_t before_out = out_pos;
    DecodeStep step =
        decoder->step(stream, stream_size, &in_pos, head.data(), head.size(), &out_pos);
    // A frame that ends short of the head is followed by the next one, if any.
    if (!step.error.empty() ||
        (step.frame_ended && in_pos == stream_size && out_pos < head.size())) {
      return std::nullopt;
    }
    if (in_pos == before_in && out_pos == before_out) return std::nullopt;
  }
  return head;
}

std::vector<StreamFrame> payload_stream_frames(const PayloadArray& array) {
  std::vector<StreamFrame> frames;
  const unsigned char* stream = array.data + ZB_PAYLOAD_HEADER_BYTES + array.table;
  for (uint64_t offset = 0; offset < array.stream;) {
    size_t left = static_cast<size_t>(array.stream - offset);
    uint64_t compressed = 0;
    uint64_t decoded = 0;
    if (!codec_frame_sizes(stream + offset, left, &compressed, &decoded)) break;
    frames.push_back({offset, compressed, decoded});
    offset += compressed;
  }
  return frames;
}

std::string payload_main_text(const PayloadArray& array) {
  if (array.table < ZB_ENTRY_FIXED_BYTES) return "none";
  std::optional<std::vector<unsigned char>> head =
      payload_main_head(array, PAYLOAD_MAIN_HEAD_BYTES);
  if (!head) return "unreadable (its bytes cannot be decoded)";
  return pe_main_kind_text(pe_main_kind(*head));
}
