// The payload stream's decoder: one zstd frame decoded call by call into buffers of
// ZB_DECODE_BUFFER_BYTES. Used by the reader, or by the read-ahead's thread while it runs;
// never by both at once. Also whole frames at once (the frame workers, the splash image): the
// launcher calls zstd from payload_decoder.cpp only.
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

// The compressed size of the frame at `offset` of the `size` stream bytes at `stream` when it
// can be decoded whole, else 0: a zstd frame (not a skippable one) without a dictionary, that
// records its decoded size (at most ZB_FRAME_BYTES_MAX, into *decoded) and asks for a window of
// at most 2^ZB_WINDOW_LOG (beyond it the stream's decoder fails, a whole-frame decode would
// not), with every block inside the stream. Reads headers only.
uint64_t payload_frame_measure(const unsigned char* stream, uint64_t size, uint64_t offset,
                               uint64_t* decoded);

// A context for whole frames, one per thread that decodes them. Zeroed: none.
struct PayloadFrameDecoder {
  ZSTD_DCtx* context;
};

// False when the context cannot be allocated. Never fatal.
bool payload_frame_decoder_open(PayloadFrameDecoder* decoder);

// Frees the context, if any.
void payload_frame_decoder_close(PayloadFrameDecoder* decoder);

// Decodes the `compressed` bytes at `source`, one whole frame, into `destination` (`size`
// bytes). True when every block decoded, the checksum matched and exactly `size` bytes came
// out. With a null decoder, a context is made for this call alone. Never fatal.
bool payload_frame_decode(PayloadFrameDecoder* decoder, unsigned char* destination,
                          uint64_t size, const unsigned char* source, uint64_t compressed);
