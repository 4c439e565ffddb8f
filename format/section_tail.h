// What follows the payload array in the image section, parsed once: the file digests (cached
// mode) and the settings (run flag ZB_RUN_FLAG_SETTINGS), laid out as format/payload_format.h
// describes. The launcher, `list` and `verify` read them from here.
#pragma once

#include <stdint.h>

struct SectionTail {
  // The first file digest (8 little-endian bytes each, in table order) and their count; null
  // and 0 outside the cached mode.
  const unsigned char* digests;
  uint64_t digest_count;
  // The settings' records (the length word excluded) and their length; null and 0 without
  // the run flag.
  const unsigned char* settings;
  uint64_t settings_bytes;
  // All the tail's bytes, which the section head's digest covers after the array's table.
  uint64_t bytes;
};

// What section_tail_parse found.
enum SectionTailResult {
  SECTION_TAIL_OK,
  SECTION_TAIL_DIGESTS_PAST,      // the file digests run past the section
  SECTION_TAIL_SETTINGS_PAST,     // the settings run past the section
  SECTION_TAIL_SETTINGS_MALFORMED,  // a record runs past them, or a kind is unknown or repeated
};

// Parses the `room` bytes at `after` (the section's bytes after the array) as the run
// `flags` lay them out into `tail` (valid on SECTION_TAIL_OK only).
SectionTailResult section_tail_parse(const unsigned char* after, uint64_t room, uint64_t flags,
                                     SectionTail* tail);

// The setting of `kind` (ZB_SETTING_*) in a parsed tail: its bytes, with their count in
// *length, or null (and 0) when there is none.
const unsigned char* section_tail_setting(const SectionTail* tail, uint32_t kind,
                                          uint32_t* length);
