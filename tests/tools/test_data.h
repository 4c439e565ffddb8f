// Deterministic test data shared by the host tools and the Windows tests.
#pragma once

#include <cstdint>
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
