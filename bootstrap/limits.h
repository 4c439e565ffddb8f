// Limits shared by the launcher and the packer. Every fixed buffer is sized here.
#pragma once

#include <stdint.h>

// A wide path buffer: 4096 UTF-16 units including the NUL, so at most 4095 units of text.
constexpr uint32_t ZB_PATH_UNITS = 4096;

// Longest payload entry name (and second string) in UTF-16 units, without the NUL.
constexpr uint32_t ZB_NAME_MAX_UNITS = 4095;

// The shortest payload directory the launcher can compute: "C:" (a temporary directory at a
// drive root, its backslash removed), "\onefile_", one digit of process id, "_", six digits
// of microseconds, "_" and eleven random characters.
constexpr uint32_t ZB_PAYLOAD_DIR_MIN_UNITS = 2 + 9 + 1 + 1 + 6 + 1 + 11;

// Longest entry name that can ever fit a target path: directory, "\", name and NUL in 4096.
constexpr uint32_t ZB_TARGET_NAME_MAX_UNITS = ZB_PATH_UNITS - ZB_PAYLOAD_DIR_MIN_UNITS - 2;

// Payload layout.
constexpr uint32_t ZB_PAYLOAD_HEADER_BYTES = 16;
constexpr uint32_t ZB_ENTRY_FIXED_BYTES = 12;
constexpr uint32_t ZB_ENTRY_FLAG_IGNORED = 1;
constexpr uint32_t ZB_ENTRY_FLAG_SECOND_STRING = 2;
constexpr uint32_t ZB_ENTRY_FLAG_LAST = 4;
constexpr uint32_t ZB_ENTRY_FLAGS_MAX = 7;
constexpr uint32_t ZB_PAYLOAD_ALIGN = 16;
constexpr uint32_t ZB_PAYLOAD_TRAILER_ALIGN = 8;

// Decoding and extraction.
constexpr uint32_t ZB_DECODE_BUFFER_BYTES = 131072;
constexpr uint32_t ZB_WRITE_CHUNK_BYTES = 32768;
constexpr uint32_t ZB_WINDOW_LOG = 27;

// Environment and command line.
constexpr uint32_t ZB_ENV_VALUE_UNITS = 32768;
constexpr uint32_t ZB_ENV_NAME_UNITS = 40;
constexpr uint32_t ZB_COMMAND_LINE_UNITS = 32768;
