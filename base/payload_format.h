// The payload array, as the packer writes it and the launcher reads it. All integers are
// little-endian.
//
//   offset 0          8   table size T
//   offset 8          8   stream size S
//   offset 16         T   the table: entries back to back, no gaps, no alignment
//   offset 16 + T     S   one zstd frame holding every file's bytes in table order
//   then              0-7 zero bytes up to a multiple of 8
//   offset L - 8      8   the trailer: L - 8
//
// An entry: flags (4), size (8), the name (UTF-16LE units and a NUL unit), and a second
// string of the same form when flags bit 1 is set.
#pragma once

#include <stdint.h>

#include "base/limits.h"

constexpr uint32_t ZB_PAYLOAD_HEADER_BYTES = 16;
constexpr uint32_t ZB_PAYLOAD_TABLE_SIZE_OFFSET = 0;
constexpr uint32_t ZB_PAYLOAD_STREAM_SIZE_OFFSET = 8;
constexpr uint32_t ZB_PAYLOAD_TRAILER_BYTES = 8;
// The array starts on this boundary; the trailer on a multiple of 8 from the start.
constexpr uint32_t ZB_PAYLOAD_ALIGN = 16;
constexpr uint32_t ZB_PAYLOAD_TRAILER_ALIGN = 8;

// Entry fields: flags at 0 (4 bytes), size at 4 (8 bytes), the name from 12.
constexpr uint32_t ZB_ENTRY_FLAGS_OFFSET = 0;
constexpr uint32_t ZB_ENTRY_SIZE_OFFSET = 4;
constexpr uint32_t ZB_ENTRY_FIXED_BYTES = 12;
constexpr uint32_t ZB_ENTRY_UNIT_BYTES = 2;

// Flag bits. Bit 0 has no effect; bit 1 announces a second string; bit 2 marks the last
// entry. Any bit above these is malformed.
constexpr uint32_t ZB_ENTRY_FLAG_IGNORED = 1;
constexpr uint32_t ZB_ENTRY_FLAG_SECOND_STRING = 2;
constexpr uint32_t ZB_ENTRY_FLAG_LAST = 4;
constexpr uint32_t ZB_ENTRY_FLAGS_MAX = 7;

// Longest payload entry name (and second string) in UTF-16 units, without the NUL.
constexpr uint32_t ZB_NAME_MAX_UNITS = 4095;

// The shortest payload directory the launcher can compute: "C:" (a temporary directory at a
// drive root, its backslash removed), "\onefile_", one digit of process id, "_", six digits
// of microseconds, "_" and eleven random characters.
constexpr uint32_t ZB_PAYLOAD_DIR_MIN_UNITS = 2 + 9 + 1 + 1 + 6 + 1 + 11;

// Longest entry name that can ever fit a target path: directory, "\", name and NUL in 4096.
constexpr uint32_t ZB_TARGET_NAME_MAX_UNITS = ZB_PATH_UNITS - ZB_PAYLOAD_DIR_MIN_UNITS - 2;

// The zstd frame: window at most 2^27 bytes (the decoder's default limit).
constexpr uint32_t ZB_WINDOW_LOG = 27;
