// Deterministic test data shared by the host tools and the Windows tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

// Mixed-compressibility bytes: runs of a counter interleaved with xorshift noise.
inline std::string test_pattern(size_t size, uint32_t seed) {
  std::string data(size, '\0');
  uint32_t x = seed ? seed : 1;
  for (size_t i = 0; i < size; i++) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    data[i] = static_cast<char>(i % 7 == 0 ? x : (i & 0x3F));
  }
  return data;
}

// FNV-1a, 64 bits.
inline uint64_t test_fnv(const std::string& data) {
  uint64_t hash = 1469598103934665603ull;
  for (unsigned char c : data) hash = (hash ^ c) * 1099511628211ull;
  return hash;
}

// A valid icon file of 32-bit bitmap images of the given sizes (square), laid out as icon
// tools write them: the header, the entries, then the images in order.
inline std::string test_icon(std::initializer_list<uint32_t> sizes) {
  auto le = [](std::string* out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; i++) out->push_back(static_cast<char>(value >> (8 * i)));
  };
  std::string head;
  std::string images;
  le(&head, 0, 2);
  le(&head, 1, 2);
  le(&head, sizes.size(), 2);
  const uint64_t first = 6 + 16 * sizes.size();
  for (uint32_t side : sizes) {
    const uint64_t pixels = 4ull * side * side;
    const uint64_t mask = (side + 31) / 32 * 4 * side;
    std::string image;
    le(&image, 40, 4);
    le(&image, side, 4);
    le(&image, 2 * side, 4);  // colour and mask rows
    le(&image, 1, 2);
    le(&image, 32, 2);
    le(&image, 0, 4);  // uncompressed
    le(&image, pixels + mask, 4);
    image.append(16, '\0');
    for (uint32_t y = 0; y < side; y++) {
      for (uint32_t x = 0; x < side; x++) {
        le(&image, (x * 255 / side) | (y * 255 / side) << 8 | (side & 0xFF) << 16 | 0xFFu << 24, 4);
      }
    }
    image.append(mask, '\0');
    le(&head, side % 256, 1);
    le(&head, side % 256, 1);
    le(&head, 0, 1);
    le(&head, 0, 1);
    le(&head, 1, 2);
    le(&head, 32, 2);
    le(&head, image.size(), 4);
    le(&head, first + images.size(), 4);
    images += image;
  }
  return head + images;
}
