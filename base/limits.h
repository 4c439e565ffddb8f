// The launcher's limits: every fixed buffer is sized here. The payload layout is in
// format/payload_format.h.
#pragma once

#include <stdint.h>

#include "format/payload_format.h"

// A wide path buffer: 4096 UTF-16 units including the NUL, so at most 4095 units of text.
constexpr uint32_t ZB_PATH_UNITS = ZB_TARGET_PATH_UNITS;

// Decoding and extraction.
constexpr uint32_t ZB_DECODE_BUFFER_BYTES = 131072;
constexpr uint32_t ZB_WRITE_CHUNK_BYTES = 32768;
// Decoder outputs the read-ahead may hold at once, each ZB_DECODE_BUFFER_BYTES (2 MiB).
constexpr uint32_t ZB_AHEAD_CHUNKS = 16;
// A waiting side of the read-ahead is woken only once this many outputs are ready (or free),
// or the decoding has ended.
constexpr uint32_t ZB_AHEAD_WAKE_BATCH = ZB_AHEAD_CHUNKS / 2;
// A stream cut into frames: workers that decode whole frames side by side, at most; the
// largest frame they take (decoded), and the buffers of the frames in flight at most, unless
// two frames alone are larger.
constexpr uint32_t ZB_FRAME_WORKERS_MAX = 8;
constexpr uint64_t ZB_FRAME_BYTES_MAX = uint64_t(1) << 27;
constexpr uint64_t ZB_FRAMES_MEMORY_BYTES = uint64_t(256) << 20;
// Finished files queued for the closer's thread at once; the walk waits for room beyond.
constexpr uint32_t ZB_CLOSER_HANDLES = 64;
// Stack reserved for the closer's thread (its start-up and a close need a few KiB).
constexpr uint32_t ZB_CLOSER_STACK_BYTES = 131072;

// Stack reserved for the thread that creates the child ahead (CreateProcessW's own needs).
constexpr uint32_t ZB_AHEAD_STACK_BYTES = 262144;
// Room for a process attribute list of one attribute (48 bytes on x86-64 Windows and Wine).
constexpr uint32_t ZB_AHEAD_ATTRIBUTE_BYTES = 256;

// Environment and command line.
constexpr uint32_t ZB_ENV_VALUE_UNITS = 32768;
constexpr uint32_t ZB_ENV_NAME_UNITS = 40;
constexpr uint32_t ZB_COMMAND_LINE_UNITS = 32768;
// The application's settings (run/app_settings.h): the fixed arguments' texts together,
// and the variables' entries together, at most this many UTF-16 units (a command line's, and
// a variable's "NAME=VALUE" without its NUL); the working folder's template at most
// ZB_CWD_MAX_UNITS.
constexpr uint32_t ZB_APP_SETTING_MAX_UNITS = 32767;
constexpr uint32_t ZB_CWD_MAX_UNITS = 1024;

// Paths and templates.
// Runtime-copy update: the variable name, at most 63 units.
constexpr uint32_t ZB_ENV_RUNTIME_NAME_UNITS = 64;
// A placeholder name collected by the expander: at most 1023 units.
constexpr uint32_t ZB_TEMPLATE_NAME_UNITS = 1024;
// The process id formatted as decimal text.
constexpr uint32_t ZB_PID_TEXT_UNITS = 128;
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
// How long the console control handler waits for the closer to close what it holds.
constexpr uint32_t ZB_CLOSER_STOP_WAIT_MS = 3000;
// Deepest nesting below a removed path: every level adds at least a backslash and one unit.
constexpr uint32_t ZB_REMOVE_MAX_DEPTH = ZB_PATH_UNITS / 2;

// Start-up, extraction and launch.
// Paths drawn for the payload directory before a run gives up because each one is taken.
constexpr uint32_t ZB_PAYLOAD_DIRECTORY_TRIES = 8;
constexpr uint32_t ZB_KNOWN_DIRS_MAX = 1024;
// A payload of at most this many entries and bytes (decoded) may be walked without the
// read-ahead's and the closer's threads (Extractor::small_alone).
constexpr uint32_t ZB_WALK_ALONE_MAX_ENTRIES = 8;
constexpr uint64_t ZB_WALK_ALONE_MAX_BYTES = 1048576;

// Sweep of payload directories left by killed launchers.
// How long the parent waits for the sweep at its end before exiting without it.
constexpr uint32_t ZB_SWEEP_JOIN_MS = 3000;
// Stack reserved for the sweep's thread (the removal's walk needs some 30 KiB).
constexpr uint32_t ZB_SWEEP_STACK_BYTES = 262144;
// The token's user (TOKEN_USER and its SID) and a directory's owner (a self-relative security
// descriptor with one SID): a SID is at most 68 bytes.
constexpr uint32_t ZB_SWEEP_TOKEN_BYTES = 256;
constexpr uint32_t ZB_SWEEP_SECURITY_BYTES = 512;

// The cached mode's check of a kept copy.
// Each thread's read request (and buffer) while a copy's files are hashed.
constexpr uint32_t ZB_VERIFY_READ_BYTES = 1048576;
// Threads that hash at most, the main thread included.
constexpr uint32_t ZB_VERIFY_THREADS_MAX = 8;
// Stack reserved for each hashing thread (a path and a few frames).
constexpr uint32_t ZB_VERIFY_STACK_BYTES = 131072;
