// Writes the payload array: header, table, one zstd frame, padding and trailer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <zstd.h>

#include "packer/app_tree.h"

class OutputFile;

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

struct ZstdCCtxFree {
  void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};
using ZstdCCtx = std::unique_ptr<ZSTD_CCtx, ZstdCCtxFree>;

// A new compression context; throws PackError when there is no memory for one.
ZstdCCtx zstd_context();

// Sets one compression parameter; throws PackError when zstd refuses it.
void zstd_set(ZSTD_CCtx* context, ZSTD_cParameter parameter, int value);

// Appends the payload for `tree` to `out` at its current position (seeking back once to
// fill in the stream size). Throws PackError on failure.
PackStats payload_write(OutputFile& out, const AppTree& tree, const PackOptions& options);

// Encodes the payload's header: the table size and the stream size.
std::string payload_header_bytes(uint64_t table_size, uint64_t stream_size);

// Encodes what ends an array whose header, table and stream take `length` bytes: zero
// bytes up to a multiple of 8, then the trailer.
std::string payload_tail_bytes(uint64_t length);

// Encodes one table entry (flags, size, name and its NUL) as the launcher reads it.
std::string payload_entry_bytes(uint32_t flags, uint64_t size, const std::u16string& name);

// The payload section's head (base/payload_format.h): what the launcher reads beside the array.
struct SectionHead {
  uint64_t length = 0;  // the array's length L
  uint64_t digest = 0;  // payload_digest: header and table, then length, flags and key
  uint64_t flags = 0;   // ZB_RUN_FLAG_*
  uint64_t key = 0;     // payload_content_key: the whole array
  std::string files;    // what follows the array: the file digests' block (cached mode) and
                        // the settings block (run flag ZB_RUN_FLAG_SETTINGS); else empty
};

// Encodes `head` as the ZB_SECTION_HEAD_BYTES bytes that precede the array.
std::string section_head_bytes(const SectionHead& head);

// The head of the `length`-byte array written to `out` at `start`, with `flags`: its digest
// and, when the flags ask for the cache, its content key (else 0), read back from the file in
// one pass, and the file digests' block, which it appends to `out` after the array, followed by
// `settings` (settings_block; the caller's flags hold ZB_RUN_FLAG_SETTINGS when not empty).
SectionHead payload_section_head(OutputFile& out, uint64_t start, uint64_t length,
                                 uint64_t flags, const std::string& settings = "");
