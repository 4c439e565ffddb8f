// Writes the payload array: header, table, one zstd frame, padding and trailer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "payload/app_tree.h"

struct PackOptions {
  int level = 12;   // zstd compression level
  int threads = 0;  // compression workers; 0 means one per hardware thread
  bool progress = false;
};

struct PackStats {
  uint64_t files = 0;
  uint64_t bytes_in = 0;        // sum of file sizes
  uint64_t payload_bytes = 0;   // L, the whole array
  uint64_t stream_bytes = 0;    // S
};

// Appends the payload for `tree` to `out` at its current position (seeking back once to
// fill in the stream size). On failure returns false with a one-line reason.
bool payload_write(FILE* out, const AppTree& tree, const PackOptions& options, PackStats* stats,
                   std::string* error);

// Encodes one table entry (flags, size, name and its NUL) as the launcher reads it.
std::string payload_entry_bytes(uint32_t flags, uint64_t size, const std::u16string& name);
