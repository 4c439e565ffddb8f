// The payload array, as the packer writes it and the launcher reads it. All integers are
// little-endian.
//
//   offset 0          8   table size T
//   offset 8          8   stream size S
//   offset 16         T   the table: entries back to back, no gaps, no alignment
//   offset 16 + T     S   the zstd stream: every file's bytes in table order, in one frame,
//                         or in several independent frames back to back (each with its
//                         checksum and its decoded size; a large payload's, so that they
//                         can be decoded side by side)
//   then              0-7 zero bytes up to a multiple of 8
//   offset L - 8      8   the trailer: L - 8
//
// An entry: flags (4), size (8), the name (UTF-16LE units and a NUL unit), and a second
// string of the same form when flags bit 1 is set.
//
// In the image the array sits in the section ".zobrin" behind a 32-byte section head (so the
// array stays 16-aligned):
//
//   offset 0          8   the array's length L
//   offset 8          8   the digest (payload_digest): the array's header and table, then
//                         the length, the run flags and the content key, so that no byte
//                         of the head or of the table can change unnoticed
//   offset 16         8   the run flags (ZB_RUN_FLAG_*); any other bit is a damaged head
//   offset 24         8   the content key: FNV-1a 64 over all L bytes of the array
//                         (payload_content_key), naming the cache directory
//   offset 32         L   the array
//
// In the cached mode the file digests follow the array (offset 32 + L, a multiple of 8):
//
//   offset 0          8   the entry count N
//   offset 8          8N  each entry's file digest (base/file_digest.h), in table order
//
// The section head's digest covers them too (after the header and table), so they are sealed
// with the rest. Entries the stream cannot supply (an array packed as it stood) have 0.
//
// With the run flag ZB_RUN_FLAG_SETTINGS the settings follow (after the file digests in the
// cached mode, else right after the array), sealed by the digest in the same way:
//
//   offset 0          8   the records' length B, a multiple of 8
//   offset 8          B   records: kind (4), length n (4), n bytes, zero bytes up to a
//                         multiple of 8; each kind at most once, every kind known
//
// A new setting is a new kind; executables packed without settings have neither the flag nor
// the block.
#pragma once

#include <stdint.h>

#include "format/little_endian.h"

constexpr uint32_t ZB_SECTION_LENGTH_OFFSET = 0;
constexpr uint32_t ZB_SECTION_DIGEST_OFFSET = 8;
constexpr uint32_t ZB_SECTION_FLAGS_OFFSET = 16;
constexpr uint32_t ZB_SECTION_KEY_OFFSET = 24;
constexpr uint32_t ZB_SECTION_HEAD_BYTES = 32;

// Run flags. Cache: the payload directory is a fixed per-user place named by the content key,
// kept between runs. Program: the first entry is a program, started from the payload
// directory in place of the launcher's own child (no DLL is loaded).
constexpr uint64_t ZB_RUN_FLAG_CACHE = 1;
constexpr uint64_t ZB_RUN_FLAG_PROGRAM = 2;
// Settings: the settings block follows the array (and the file digests).
constexpr uint64_t ZB_RUN_FLAG_SETTINGS = 4;
constexpr uint64_t ZB_RUN_FLAGS_KNOWN =
    ZB_RUN_FLAG_CACHE | ZB_RUN_FLAG_PROGRAM | ZB_RUN_FLAG_SETTINGS;

// Setting kinds. Extract-to: the payload directory's parent as a path template
// (paths/template.h), UTF-16LE units without a NUL, 1 to ZB_EXTRACT_TO_MAX_UNITS of them.
// Splash: the image shown while a slow first start extracts (run/splash.h): width and
// height (4 bytes each, 1 to ZB_SPLASH_MAX_SIDE), then one zstd frame of width * height * 4
// bytes, rows top down, each pixel blue, green, red and 0.
// The application's own settings (run/app_settings.h), their texts application
// templates (paths/app_template.h) in UTF-16LE units. Args: the fixed arguments given before
// the user's, each followed by a NUL unit. Env: the application's variables, each one unit
// ZB_ENV_SET or ZB_ENV_PREPEND, then NAME=TEMPLATE and a NUL unit. Cwd: the application's
// working folder, without a NUL.
// Execution level: the level the executable's manifest asks for, as its ASCII name
// ("highestAvailable", "requireAdministrator"); recorded only when it is not asInvoker. The
// manifest does the asking: the launcher reads no record of this kind.
constexpr uint32_t ZB_SETTING_EXTRACT_TO = 1;
constexpr uint32_t ZB_SETTING_SPLASH = 2;
constexpr uint32_t ZB_SETTING_ARGS = 3;
constexpr uint32_t ZB_SETTING_ENV = 4;
constexpr uint32_t ZB_SETTING_CWD = 5;
constexpr uint32_t ZB_SETTING_EXECUTION_LEVEL = 6;
// Every kind from 1 up to this one is known. The launcher carries the number after
// ZB_SETTINGS_MARKER (run/main.cpp), so the packer can refuse to put a record into a
// launcher too old to read it; a launcher without the marker reads kinds 1 and 2.
#define ZB_SETTING_KINDS_NUMBER 6
constexpr uint32_t ZB_SETTING_KINDS = ZB_SETTING_KINDS_NUMBER;
#define ZB_SETTINGS_MARKER "zobrin-onefile launcher reads setting kinds up to "
constexpr uint32_t ZB_SETTING_KINDS_UNMARKED = 2;
// The operations of an Env entry: the variable set to the value (removed when the value is
// empty), or the value put in front of the inherited one, joined by ";".
constexpr uint16_t ZB_ENV_SET = 1;
constexpr uint16_t ZB_ENV_PREPEND = 2;
constexpr uint32_t ZB_SETTINGS_LENGTH_BYTES = 8;
constexpr uint32_t ZB_SETTING_HEAD_BYTES = 8;
constexpr uint32_t ZB_EXTRACT_TO_MAX_UNITS = 1024;
constexpr uint32_t ZB_SPLASH_MAX_SIDE = 4096;

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

// The longest path the launcher forms, in UTF-16 units with the NUL (base/limits.h sizes its
// path buffers by it).
constexpr uint32_t ZB_TARGET_PATH_UNITS = 4096;

// Longest entry name that can ever fit a target path: directory, "\", name and NUL in 4096.
constexpr uint32_t ZB_TARGET_NAME_MAX_UNITS =
    ZB_TARGET_PATH_UNITS - ZB_PAYLOAD_DIR_MIN_UNITS - 2;

// The zstd frame: window at most 2^27 bytes (the decoder's default limit).
constexpr uint32_t ZB_WINDOW_LOG = 27;

// A stream of at least ZB_FRAMES_FROM_BYTES decoded bytes, in files of ZB_FRAMES_FILE_BYTES
// on average or more, is cut into frames of ZB_FRAME_TARGET_BYTES to twice that, unless the
// packer is told otherwise.
constexpr uint64_t ZB_FRAME_TARGET_BYTES = uint64_t(32) << 20;
constexpr uint64_t ZB_FRAMES_FROM_BYTES = 2 * ZB_FRAME_TARGET_BYTES;
constexpr uint64_t ZB_FRAMES_FILE_BYTES = uint64_t(1) << 20;

// FNV-1a 64 over the array's header and table, then the section head's other three words.
// Each step is h = (h ^ byte) * prime with an odd prime, a bijection of h for a given byte,
// and h ^ byte differs for two bytes that differ: so any two inputs of one length that differ
// in a single byte always give different digests (changes of several bytes are caught with
// probability 1 - 2^-64). The table is small, so the cost is nothing next to decoding.
constexpr uint64_t ZB_DIGEST_START = 14695981039346656037ull;
constexpr uint64_t ZB_DIGEST_PRIME = 1099511628211ull;

inline uint64_t payload_digest_update(uint64_t state, const unsigned char* bytes, uint64_t count) {
  for (uint64_t i = 0; i < count; i++) state = (state ^ bytes[i]) * ZB_DIGEST_PRIME;
  return state;
}

// How many bytes of an array of `length` bytes, starting with `head` (at least
// min(length, 16) bytes), the digest covers: the header and the table, [0, 16 + T), cut at
// the array's end for a table size that does not fit (the whole array when it is shorter
// than the header).
inline uint64_t payload_digest_extent(const unsigned char* head, uint64_t length) {
  if (length < ZB_PAYLOAD_HEADER_BYTES) return length;
  uint64_t table_size = le_read_u64(head + ZB_PAYLOAD_TABLE_SIZE_OFFSET);
  if (table_size > length - ZB_PAYLOAD_HEADER_BYTES) return length;
  return ZB_PAYLOAD_HEADER_BYTES + table_size;
}

// The file digests' block: its count word and one digest per entry.
constexpr uint32_t ZB_FILE_DIGESTS_COUNT_BYTES = 8;
constexpr uint32_t ZB_FILE_DIGEST_BYTES = 8;

// Completes the digest from `state`, FNV-1a 64 over the digest's extent of the array: the
// length, the run flags and the content key follow as the section head holds them (8 bytes
// each, little-endian). They come after the array's bytes so the packer gets the digest and
// the key from one pass over the array.
inline uint64_t payload_digest_seal(uint64_t state, uint64_t length, uint64_t flags,
                                    uint64_t key) {
  unsigned char words[24];
  le_write_u64(words, length);
  le_write_u64(words + 8, flags);
  le_write_u64(words + 16, key);
  return payload_digest_update(state, words, sizeof words);
}

// The digest written in the section head for the `length` bytes at `array`, the
// `files_bytes` bytes of the file digests' block at `files` (none outside the cached mode) and
// the head's `flags` and `key`.
inline uint64_t payload_digest(const unsigned char* array, uint64_t length, uint64_t flags,
                               uint64_t key, const unsigned char* files = nullptr,
                               uint64_t files_bytes = 0) {
  uint64_t state =
      payload_digest_update(ZB_DIGEST_START, array, payload_digest_extent(array, length));
  state = payload_digest_update(state, files, files_bytes);
  return payload_digest_seal(state, length, flags, key);
}

// The content key of the `length` bytes at `array`: FNV-1a 64 over all of them, so any
// change of a name, a size or a content byte gives another cache directory (with the
// probability of the digest above).
inline uint64_t payload_content_key(const unsigned char* array, uint64_t length) {
  return payload_digest_update(ZB_DIGEST_START, array, length);
}

// The records of a settings block (`size` bytes at `records`, the length word excluded) are
// well formed: every record within the block, padded to 8, of a known kind that no earlier
// record has. When `kind` is not 0 and a record of that kind is there, *value and *length
// name its bytes. False for a malformed block.
inline bool payload_settings_find(const unsigned char* records, uint64_t size, uint32_t kind,
                                  const unsigned char** value, uint32_t* length) {
  if (size % 8 != 0) return false;
  uint32_t seen = 0;
  for (uint64_t at = 0; at < size;) {
    if (size - at < ZB_SETTING_HEAD_BYTES) return false;
    uint32_t record_kind = le_read_u32(records + at);
    uint32_t record_length = le_read_u32(records + at + 4);
    uint64_t padded = ((uint64_t)record_length + 7) / 8 * 8;
    if (record_kind == 0 || record_kind > ZB_SETTING_KINDS) return false;
    if (seen & (1u << record_kind)) return false;
    if (padded > size - at - ZB_SETTING_HEAD_BYTES) return false;
    seen |= 1u << record_kind;
    if (kind != 0 && record_kind == kind) {
      *value = records + at + ZB_SETTING_HEAD_BYTES;
      *length = record_length;
    }
    at += ZB_SETTING_HEAD_BYTES + padded;
  }
  return true;
}

// The launcher carries its version as this text followed by the version and a NUL, so that
// `zobrin-pack list` can tell which launcher a built executable holds.
#define ZB_VERSION_MARKER "zobrin-onefile launcher version "
