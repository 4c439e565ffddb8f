#include "packer/codec.h"

#include <zstd.h>
#include <zstd_errors.h>

#include "format/payload_format.h"
#include "packer/pack_error.h"

namespace {

// Sets one compression parameter; throws PackError when zstd refuses it.
void codec_set(ZSTD_CCtx* context, ZSTD_cParameter parameter, int value) {
  size_t result = ZSTD_CCtx_setParameter(context, parameter, value);
  if (ZSTD_isError(result)) {
    throw PackError("cannot set zstd parameter " + std::to_string(parameter) + " to " +
                    std::to_string(value) + ": " + ZSTD_getErrorName(result));
  }
}

void codec_check(size_t result) {
  if (ZSTD_isError(result)) {
    throw PackError(std::string("compression failed: ") + ZSTD_getErrorName(result));
  }
}

}  // namespace

int codec_max_level() { return ZSTD_maxCLevel(); }

struct Compressor::Context {
  ZSTD_CCtx* zstd = nullptr;
  ~Context() { ZSTD_freeCCtx(zstd); }
};

Compressor::Compressor(const CodecSettings& settings)
    : context_(new Context), buffer_(ZSTD_CStreamOutSize()) {
  context_->zstd = ZSTD_createCCtx();
  if (!context_->zstd) throw PackError("cannot create a zstd compression context");
  ZSTD_CCtx* zstd = context_->zstd;
  codec_set(zstd, ZSTD_c_compressionLevel, settings.level);
  codec_set(zstd, ZSTD_c_windowLog, ZB_WINDOW_LOG);
  // Long-distance matching, as `zstd --long=27` does. Besides finding repeats across the
  // whole window, it sizes the worker jobs from the search tables rather than from the window:
  // without it a 2^27 window makes 512 MiB jobs, and a payload smaller than that is
  // compressed by one worker whatever --threads says. The decoder needs nothing more.
  codec_set(zstd, ZSTD_c_enableLongDistanceMatching, 1);
  codec_set(zstd, ZSTD_c_contentSizeFlag, settings.sized);
  codec_set(zstd, ZSTD_c_checksumFlag, settings.checksum);
  codec_set(zstd, ZSTD_c_dictIDFlag, 0);
  if (settings.workers > 1) codec_set(zstd, ZSTD_c_nbWorkers, settings.workers);
}

Compressor::~Compressor() = default;

void Compressor::stream(const char* data, size_t size, bool end,
                        const std::function<void(const char*, size_t)>& sink) {
  ZSTD_inBuffer input = {data, size, 0};
  for (;;) {
    ZSTD_outBuffer output = {buffer_.data(), buffer_.size(), 0};
    size_t left =
        ZSTD_compressStream2(context_->zstd, &output, &input, end ? ZSTD_e_end : ZSTD_e_continue);
    codec_check(left);
    if (output.pos > 0) sink(buffer_.data(), output.pos);
    if (end ? left == 0 : input.pos == input.size) return;
  }
}

std::string Compressor::frame(const char* data, size_t size) {
  std::string frame(ZSTD_compressBound(size), '\0');
  size_t written = ZSTD_compress2(context_->zstd, &frame[0], frame.size(), data, size);
  codec_check(written);
  frame.resize(written);
  return frame;
}

std::string codec_compress_plain(const void* data, size_t size, int level) {
  std::string frame(ZSTD_compressBound(size), '\0');
  size_t written = ZSTD_compress(&frame[0], frame.size(), data, size, level);
  codec_check(written);
  frame.resize(written);
  return frame;
}

size_t codec_decode_frame(void* out, size_t capacity, const void* data, size_t size) {
  size_t got = ZSTD_decompress(out, capacity, data, size);
  return ZSTD_isError(got) ? SIZE_MAX : got;
}

struct StreamDecoder::Context {
  ZSTD_DCtx* zstd = nullptr;
  ZSTD_inBuffer input = {nullptr, 0, 0};
  ~Context() { ZSTD_freeDCtx(zstd); }
};

StreamDecoder::StreamDecoder(const unsigned char* data, size_t size)
    : context_(new Context), buffer_(ZSTD_DStreamOutSize()) {
  context_->zstd = ZSTD_createDCtx();
  if (!context_->zstd) throw PackError("cannot create a zstd decompression context");
  ZSTD_DCtx_setParameter(context_->zstd, ZSTD_d_windowLogMax, ZB_WINDOW_LOG);
  context_->input = {data, size, 0};
}

StreamDecoder::~StreamDecoder() = default;

bool StreamDecoder::next(const unsigned char** data, size_t* size) {
  if (ended_) return false;
  ZSTD_outBuffer output = {buffer_.data(), buffer_.size(), 0};
  size_t result = ZSTD_decompressStream(context_->zstd, &output, &context_->input);
  if (ZSTD_isError(result)) {
    ended_ = true;
    return false;
  }
  // The stream's end: its last frame complete, or cut short.
  const ZSTD_inBuffer& input = context_->input;
  if (input.pos == input.size && (result == 0 || output.pos < output.size)) ended_ = true;
  *data = buffer_.data();
  *size = output.pos;
  return true;
}

struct PieceDecoder::Context {
  ZSTD_DCtx* zstd = nullptr;
  ~Context() { ZSTD_freeDCtx(zstd); }
};

PieceDecoder::PieceDecoder() : context_(new Context) {
  context_->zstd = ZSTD_createDCtx();
  if (!context_->zstd) throw PackError("cannot create a zstd decompression context");
  ZSTD_DCtx_setParameter(context_->zstd, ZSTD_d_windowLogMax, ZB_WINDOW_LOG);
}

PieceDecoder::~PieceDecoder() = default;

DecodeStep PieceDecoder::step(const unsigned char* in, size_t in_size, size_t* in_pos,
                              unsigned char* out, size_t out_size, size_t* out_pos) {
  ZSTD_inBuffer input = {in, in_size, *in_pos};
  ZSTD_outBuffer output = {out, out_size, *out_pos};
  size_t result = ZSTD_decompressStream(context_->zstd, &output, &input);
  *in_pos = input.pos;
  *out_pos = output.pos;
  DecodeStep step;
  if (ZSTD_isError(result)) {
    step.checksum_wrong = ZSTD_getErrorCode(result) == ZSTD_error_checksum_wrong;
    step.error = ZSTD_getErrorName(result);
  } else {
    step.frame_ended = result == 0;
  }
  return step;
}

size_t PieceDecoder::piece_size() { return ZSTD_DStreamOutSize(); }

bool codec_frame_sizes(const unsigned char* data, size_t size, uint64_t* compressed,
                       uint64_t* decoded) {
  size_t length = ZSTD_findFrameCompressedSize(data, size);
  if (ZSTD_isError(length)) return false;
  unsigned long long content = ZSTD_getFrameContentSize(data, size);
  *compressed = length;
  *decoded = content >= ZSTD_CONTENTSIZE_ERROR ? UINT64_MAX : uint64_t(content);
  return true;
}
