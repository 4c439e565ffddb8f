// Writes the payload array: header, table, the zstd stream (one frame, or a large one cut
// into independent frames), padding and trailer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/limits.h"
#include "packer/app_tree.h"

class OutputFile;

// PackOptions::frame_size: cut a stream of ZB_FRAMES_FROM_BYTES or more, in files of
// ZB_FRAMES_FILE_BYTES on average or more, into frames of ZB_FRAME_TARGET_BYTES to twice that,
// or of twice that size, or not at all, whichever is the first to cost little (see
// payload_frames_chosen).
constexpr uint64_t PACK_FRAMES_AUTO = UINT64_MAX;
// The frame sizes --frame-size takes besides 0 (one frame).
constexpr uint64_t PACK_FRAME_MIN_BYTES = 65536;
constexpr uint64_t PACK_FRAME_MAX_BYTES = ZB_FRAME_BYTES_MAX;  // the launcher's workers take no larger

struct PackOptions {
  // zstd compression level. Decision: 19, the lowest level within 1.12 x xz -9e on real code
  // (Wine's PE DLLs and Python's standard library); 12 packs 7 to 13 x faster.
  int level = 19;
  int threads = 0;  // compression workers; 0 means one per hardware thread
  // Decoded bytes per frame at most; 0: one frame; PACK_FRAMES_AUTO: as above.
  uint64_t frame_size = PACK_FRAMES_AUTO;
  bool progress = false;
};

// The decoded size of each frame a stream of `total` bytes in `files` files is cut into (one
// frame when `frame_size` is 0, or PACK_FRAMES_AUTO and the stream small or of small files):
// equal frames, the first ones a byte longer when they do not divide evenly.
std::vector<uint64_t> payload_frame_sizes(uint64_t total, uint64_t files, uint64_t frame_size);

// A cut the packer chooses itself (PACK_FRAMES_AUTO) is kept only when it makes the stream at
// most this much larger than one frame, as a trial at PACK_PROBE_LEVEL measures it.
// Decision: the trial's level compresses the stream far less than the levels a release is
// packed at, so the same lost repeats weigh more there; 1 % at the trial keeps a cut within
// 2 % of one frame at the default level (measured on the benchmark's files).
constexpr double PACK_CUT_COST_MAX = 0.01;
constexpr int PACK_PROBE_LEVEL = 3;

// The frames a stream of `total` bytes in `files` files is cut into by default, given the
// frames `frames` that payload_frame_sizes makes (more than one): `frames` when the cut costs
// at most PACK_CUT_COST_MAX, else frames of twice the size when those do, else one frame.
// `probe` compresses the stream as one frame and as each candidate list of frame sizes and
// returns the compressed sizes in that order (one more than the candidates), or nothing.
std::vector<uint64_t> payload_frames_chosen(
    const std::vector<uint64_t>& frames, uint64_t total, uint64_t files,
    const std::function<std::vector<uint64_t>(const std::vector<std::vector<uint64_t>>&)>& probe);

struct PackStats {
  uint64_t files = 0;
  uint64_t bytes_in = 0;        // sum of file sizes
  uint64_t payload_bytes = 0;   // L, the whole array
  uint64_t stream_bytes = 0;    // S
  uint64_t frames = 0;          // zstd frames in the stream
};

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
