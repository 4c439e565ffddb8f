// zstd, the packer's codec: the only file of the packer that calls zstd (compressing, and
// decoding for list, verify and extract).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The highest level --level takes.
int codec_max_level();

// How a payload frame is written. Every frame has a window of 2^ZB_WINDOW_LOG with
// long-distance matching and no dictionary id.
struct CodecSettings {
  int level = 19;
  bool sized = false;     // the decoded size in the frame's header
  bool checksum = true;   // a checksum over the decoded bytes after the frame
  int workers = 0;        // zstd's own threads for the frame; 0: the caller's thread
};

// One compression context. Throws PackError when zstd refuses a setting or the input.
class Compressor {
 public:
  explicit Compressor(const CodecSettings& settings);
  ~Compressor();
  Compressor(const Compressor&) = delete;
  Compressor& operator=(const Compressor&) = delete;

  // Compresses `size` bytes of the frame being written, handing what comes out to `sink`;
  // `end` ends the frame (the next call starts another with the same settings).
  void stream(const char* data, size_t size, bool end,
              const std::function<void(const char*, size_t)>& sink);
  // `size` bytes as one whole frame.
  std::string frame(const char* data, size_t size);

 private:
  struct Context;
  std::unique_ptr<Context> context_;
  std::vector<char> buffer_;
};

// `size` bytes as one plain frame at `level` (zstd's defaults otherwise: the splash image).
std::string codec_compress_plain(const void* data, size_t size, int level);

// Decodes the frame of `size` bytes at `data` into at most `capacity` bytes at `out`: the
// decoded size, or SIZE_MAX when it is damaged or does not fit.
size_t codec_decode_frame(void* out, size_t capacity, const void* data, size_t size);

// Decodes a stream of payload frames piece by piece, as the launcher does (a window of at
// most 2^ZB_WINDOW_LOG).
class StreamDecoder {
 public:
  // Throws PackError when there is no memory for a context.
  StreamDecoder(const unsigned char* data, size_t size);
  ~StreamDecoder();
  StreamDecoder(const StreamDecoder&) = delete;
  StreamDecoder& operator=(const StreamDecoder&) = delete;

  // The next decoded piece, valid until the next call (it may be empty); false after the
  // stream's end (its last frame complete, or the input cut short) or an error.
  bool next(const unsigned char** data, size_t* size);

 private:
  struct Context;
  std::unique_ptr<Context> context_;
  std::vector<unsigned char> buffer_;
  bool ended_ = false;
};

// What one step of a PieceDecoder did.
struct DecodeStep {
  bool frame_ended = false;     // a frame ended exactly at the input consumed so far
  bool checksum_wrong = false;  // the error is a frame's checksum
  std::string error;            // zstd's name of the error; empty when none
};

// Decodes payload frames with the caller's buffers, one step at a time, as the launcher does
// (a window of at most 2^ZB_WINDOW_LOG); a frame that ends goes on into the next.
class PieceDecoder {
 public:
  // Throws PackError when there is no memory for a context.
  PieceDecoder();
  ~PieceDecoder();
  PieceDecoder(const PieceDecoder&) = delete;
  PieceDecoder& operator=(const PieceDecoder&) = delete;

  // Decodes from in[*in_pos, in_size) into out[*out_pos, out_size), moving both positions.
  DecodeStep step(const unsigned char* in, size_t in_size, size_t* in_pos, unsigned char* out,
                  size_t out_size, size_t* out_pos);
  // The output size zstd suggests for one step.
  static size_t piece_size();

 private:
  struct Context;
  std::unique_ptr<Context> context_;
};

// The sizes of the frame at the start of `size` bytes at `data`: false when no whole frame is
// there; `*decoded` is UINT64_MAX when the frame's header does not give it.
bool codec_frame_sizes(const unsigned char* data, size_t size, uint64_t* compressed,
                       uint64_t* decoded);
