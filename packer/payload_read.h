// Walking a payload array as the packer wrote it, for `list` and `verify`: finding the array
// (in a payload file or a built executable's payload section) and reading its table. Every
// read is bounds-checked against the array.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "format/section_tail.h"

struct PayloadArray {
  const unsigned char* data = nullptr;  // the array's first byte
  uint64_t length = 0;                  // its length L
  uint64_t table = 0;                   // table size T (within L - 16)
  uint64_t stream = 0;                  // stream size S (within L - 16 - T)
  const unsigned char* section_head = nullptr;  // the payload section's 32-byte head, or null
  uint64_t after = 0;  // bytes of the payload section after the array (the file digests)
};

// One entry of the table as `list` and `verify` read it back, its names copied out.
struct TableEntry {
  uint64_t offset;  // of the entry within the array
  uint32_t flags;
  uint64_t size;
  std::u16string name;
  std::u16string second;  // empty unless flags announce it
};

// Finds the array in `file`: the payload section of an executable (its length checked against
// the section), or the whole file. Checks that the header's sizes fit the array. Throws
// PackError("<subject>: <reason>").
PayloadArray payload_locate(const std::vector<unsigned char>& file, const std::string& subject);

// Calls `visit` with each entry of the table, in order. Throws PackError("<subject>: <reason>")
// at the first malformed entry; `lenient`, stops there instead.
void payload_entries(const PayloadArray& array, const std::string& subject,
                     const std::function<void(const TableEntry&)>& visit, bool lenient = false);

// The section's tail after the array of an executable (array.section_head set): the file
// digests and the settings, as the run flags lay them out, within the section. Throws
// PackError("<subject>: <reason>") when either runs past the section or the settings are
// malformed.
SectionTail payload_tail(const PayloadArray& array, const std::string& subject);

// The settings block of a parsed tail as `settings_read` takes it (the length word and the
// records), or "" when there is none.
std::string payload_settings_block(const SectionTail& tail);

// The main (first) entry's first `limit` bytes, or all of it when it is shorter, decoded from
// the stream; nothing when the table holds no entry or the stream cannot supply them.
std::optional<std::vector<unsigned char>> payload_main_head(const PayloadArray& array,
                                                            size_t limit);

// One zstd frame of the stream, as its header and block headers lay it out.
struct StreamFrame {
  uint64_t offset;      // of its first byte within the stream
  uint64_t compressed;  // its bytes in the stream
  uint64_t decoded;     // its decoded size, or UINT64_MAX when its header does not record it
};

// The frames of the stream back to back from its start, up to the first whose header or
// blocks do not lie within the stream (nothing is decoded).
std::vector<StreamFrame> payload_stream_frames(const PayloadArray& array);

// Enough of the main entry to read its PE headers.
constexpr size_t PAYLOAD_MAIN_HEAD_BYTES = 65536;

// The main entry's kind, as list and verify name it: pe_main_kind_text, or "none" for an
// empty table, or "unreadable (its bytes cannot be decoded)".
std::string payload_main_text(const PayloadArray& array);

// An entry's name for a one-line message: UTF-8, quoted, control characters escaped.
std::string payload_entry_name(const TableEntry& entry);
