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

// Paths and templates.
// Runtime-copy update: the converted variable name, at most 63 units.
constexpr uint32_t ZB_ENV_RUNTIME_NAME_UNITS = 64;
// A placeholder name collected by the expander: at most 1023 units.
constexpr uint32_t ZB_TEMPLATE_NAME_UNITS = 1024;
// The process id formatted as narrow decimal text.
constexpr uint32_t ZB_PID_TEXT_BYTES = 128;
// The random text of a template: 11 base64url characters and the NUL.
constexpr uint32_t ZB_RANDOM_TEXT_UNITS = 12;
// A time value formatted as decimal text (a signed 64-bit count at most 20 characters).
constexpr uint32_t ZB_TIME_TEXT_UNITS = 32;
// A shell folder path: the system writes at most MAX_PATH units.
constexpr uint32_t ZB_FOLDER_UNITS = 260;
// Each cached form of the own executable path: 4096 units of text and the NUL.
constexpr uint32_t ZB_OWN_PATH_UNITS = 4097;

// Shutdown and directory removal.
constexpr uint32_t ZB_CHILD_GRACE_MS = 5000;
constexpr uint32_t ZB_REMOVE_ATTEMPTS = 20;
constexpr uint32_t ZB_REMOVE_PAUSE_MS = 100;
// Deepest nesting below a removed path: every level adds at least a backslash and one unit.
constexpr uint32_t ZB_REMOVE_MAX_DEPTH = ZB_PATH_UNITS / 2;

// Start-up, extraction and launch.
constexpr uint32_t ZB_PARENT_IMAGE_UNITS = 2048;
constexpr uint32_t ZB_KNOWN_DIRS_MAX = 1024;
constexpr uint32_t ZB_PROCESS_QUERY_ACCESS = 0x410;   // PROCESS_QUERY_INFORMATION | PROCESS_VM_READ
constexpr uint32_t ZB_DLL_LOAD_FLAGS = 0x00000D00;    // DLL_LOAD_DIR | USER_DIRS | SYSTEM32
constexpr uint32_t ZB_SYSTEM_DLL_LOAD_FLAGS = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32
constexpr uint32_t ZB_STARTUPINFO_BYTES = 104;
