// Writes the payload array: header, table, the zstd stream (one frame, or a large one cut
// into independent frames), padding and trailer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <zstd.h>

#include "base/limits.h"
#include "packer/app_tree.h"

class OutputFile;

// PackOptions::frame_size: cut a stream of ZB_FRAMES_FROM_BYTES or more, in files of
// ZB_FRAMES_FILE_BYTES on average or more, into frames of ZB_FRAME_TARGET_BYTES to twice that.
constexpr uint64_t PACK_FRAMES_AUTO = UINT64_MAX;
// The frame sizes --frame-size takes besides 0 (one frame).
constexpr uint64_t PACK_FRAME_MIN_BYTES = 65536;
constexpr uint64_t PACK_FRAME_MAX_BYTES = ZB_FRAME_BYTES_MAX;  // the launcher's workers take no larger

struct PackOptions {
  int level = 12;   // zstd compression level
  int threads = 0;  // compression workers; 0 means one per hardware thread
  // Decoded bytes per frame at most; 0: one frame; PACK_FRAMES_AUTO: as above.
  uint64_t frame_size = PACK_FRAMES_AUTO;
  bool progress = false;
};

// The decoded size of each frame a stream of `total` bytes in `files` files is cut into (one
// frame when `frame_size` is 0, or PACK_FRAMES_AUTO and the stream small or of small files):
// equal frames, the first ones a byte longer when they do not divide evenly.
std::vector<uint64_t> payload_frame_sizes(uint64_t total, uint64_t files, uint64_t frame_size);

struct PackStats {
  uint64_t files = 0;
  uint64_t bytes_in = 0;        // sum of file sizes
  uint64_t payload_bytes = 0;   // L, the whole array
  uint64_t stream_bytes = 0;    // S
  uint64_t frames = 0;          // zstd frames in the stream
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

// The payload section's head (format/payload_format.h): what the launcher reads beside the array.
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
