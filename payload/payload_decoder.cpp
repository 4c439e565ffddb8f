// ZSTD_getFrameHeader.
#define ZSTD_STATIC_LINKING_ONLY
#include "payload/payload_decoder.h"

#include "base/limits.h"
#include "format/payload_format.h"

bool payload_decoder_open(PayloadDecoder* decoder, const unsigned char* stream, uint64_t size) {
  decoder->input.src = stream;
  decoder->input.size = (size_t)size;
  decoder->input.pos = 0;
  decoder->output_filled = false;
  decoder->frame_ended = false;
  decoder->calls = 0;
  decoder->context = ZSTD_createDCtx();
  return decoder->context != nullptr;
}

void payload_decoder_close(PayloadDecoder* decoder) {
  ZSTD_freeDCtx(decoder->context);
  decoder->context = nullptr;
}

bool payload_decoder_call(PayloadDecoder* decoder, unsigned char* output, uint32_t* produced,
                          bool* consumed) {
  ZSTD_outBuffer buffer = {output, ZB_DECODE_BUFFER_BYTES, 0};
  size_t consumed_before = decoder->input.pos;
  size_t result = ZSTD_decompressStream(decoder->context, &buffer, &decoder->input);
  decoder->calls++;
  if (ZSTD_isError(result)) return false;
  *produced = (uint32_t)buffer.pos;
  *consumed = decoder->input.pos != consumed_before;
  decoder->output_filled = buffer.pos == ZB_DECODE_BUFFER_BYTES;
  decoder->frame_ended = result == 0;
  return true;
}

// Decision: the buffer-filled flag keeps its value from one call to the next. A decoder call
// that filled the whole buffer may leave output inside the decoder; keeping the flag lets the
// next call fetch it even when all input is consumed. A short stream still ends: the call
// after the frame's end produces less than a full buffer and clears the flag.
bool payload_decode_step(PayloadDecoder* decoder, unsigned char* output, uint32_t* produced) {
  bool input_left = decoder->input.pos < decoder->input.size;
  if (!input_left && !decoder->output_filled) return false;
  bool consumed = false;
  if (!payload_decoder_call(decoder, output, produced, &consumed)) return false;
  // A call that neither consumed input nor produced output would repeat forever.
  return !(input_left && *produced == 0 && !consumed);
}

uint64_t payload_frame_measure(const unsigned char* stream, uint64_t size, uint64_t offset,
                               uint64_t* decoded) {
  if (offset >= size) return 0;
  size_t left = (size_t)(size - offset);
  ZSTD_frameHeader header;
  if (ZSTD_getFrameHeader(&header, stream + offset, left) != 0) return 0;
  if (header.frameType != ZSTD_frame || header.dictID != 0 ||
      header.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN ||
      header.frameContentSize > ZB_FRAME_BYTES_MAX ||
      header.windowSize > (1ull << ZB_WINDOW_LOG)) {
    return 0;
  }
  size_t compressed = ZSTD_findFrameCompressedSize(stream + offset, left);
  if (ZSTD_isError(compressed)) return 0;
  *decoded = header.frameContentSize;
  return compressed;
}

bool payload_frame_decoder_open(PayloadFrameDecoder* decoder) {
  decoder->context = ZSTD_createDCtx();
  return decoder->context != nullptr;
}

void payload_frame_decoder_close(PayloadFrameDecoder* decoder) {
  ZSTD_freeDCtx(decoder->context);
  decoder->context = nullptr;
}

bool payload_frame_decode(PayloadFrameDecoder* decoder, unsigned char* destination,
                          uint64_t size, const unsigned char* source, uint64_t compressed) {
  size_t result =
      decoder != nullptr
          ? ZSTD_decompressDCtx(decoder->context, destination, (size_t)size, source,
                                (size_t)compressed)
          : ZSTD_decompress(destination, (size_t)size, source, (size_t)compressed);
  return !ZSTD_isError(result) && result == size;
}
