// The payload stream's decoder: one zstd frame decoded call by call into buffers of
// ZB_DECODE_BUFFER_BYTES. Used by the reader, or by the read-ahead's thread while it runs;
// never by both at once.
#pragma once

#include <stdint.h>

#include <zstd.h>

struct PayloadDecoder {
  ZSTD_DCtx* context;
  ZSTD_inBuffer input;
  // Whether the last call filled its buffer, and whether it completed the frame.
  bool output_filled;
  bool frame_ended;
  // Decoder calls made since the decoder was opened.
  uint64_t calls;
};

// Opens `decoder` on the `size` stream bytes at `stream`. False when the decoder's context
// cannot be allocated. Never fatal.
bool payload_decoder_open(PayloadDecoder* decoder, const unsigned char* stream, uint64_t size);

// Frees the decoder's context, if any; the decoder may be opened again.
void payload_decoder_close(PayloadDecoder* decoder);

// One decoder call into `output` (capacity ZB_DECODE_BUFFER_BYTES): false when it fails; else
// true with the bytes it produced and whether it consumed input. Never fatal.
bool payload_decoder_call(PayloadDecoder* decoder, unsigned char* output, uint32_t* produced,
                          bool* consumed);

// One decoder call as a read makes it: true with the bytes produced; false when the call fails
// or the stream can supply no more. Never fatal.
bool payload_decode_step(PayloadDecoder* decoder, unsigned char* output, uint32_t* produced);
