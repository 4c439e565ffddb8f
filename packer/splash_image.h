// The splash image of `zobrin-pack exe --splash`: a PNG or BMP file read at pack time and
// recorded in the form the launcher shows without a decoder of its own (format/payload_format.h,
// ZB_SETTING_SPLASH): width and height (4 bytes each), then one zstd frame of the pixels, rows
// top down, 4 bytes each (blue, green, red, 0), transparency blended over white.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "format/payload_format.h"


struct SplashPixels {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<unsigned char> bgrx;  // width * height * 4 bytes, rows top down
};

// Decodes `bytes` as a PNG (any colour type and bit depth, not interlaced) or an uncompressed
// 24- or 32-bit BMP. Throws PackError("the splash image <subject> <reason>").
SplashPixels splash_decode(const std::vector<unsigned char>& bytes, const std::string& subject);

// The record's bytes for the image file at `path`. Throws PackError as splash_decode, and for
// a file that cannot be read.
std::string splash_record(const std::filesystem::path& path);

// The size a record names ("640 x 480"), or "" when it is too short to name one.
std::string splash_record_size(const std::string& record);
