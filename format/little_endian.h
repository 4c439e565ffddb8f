// Little-endian integers in byte buffers, as the payload and PE formats store them. The caller
// checks that the bytes are there.
#pragma once

#include <stdint.h>

inline uint16_t le_read_u16(const unsigned char* p) {
  return (uint16_t)(p[0] | (p[1] << 8));
}

inline uint32_t le_read_u32(const unsigned char* p) {
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

inline uint64_t le_read_u64(const unsigned char* p) {
  return (uint64_t)le_read_u32(p) | ((uint64_t)le_read_u32(p + 4) << 32);
}

// Reads `bytes` bytes (at most 8) as an unsigned number.
inline uint64_t le_read(const unsigned char* p, int bytes) {
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; i--) value = (value << 8) | p[i];
  return value;
}

// Writes the low `bytes` bytes (at most 8) of `value`.
inline void le_write(unsigned char* p, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; i++) p[i] = (unsigned char)(value >> (8 * i));
}

inline void le_write_u16(unsigned char* p, uint16_t value) { le_write(p, value, 2); }
inline void le_write_u32(unsigned char* p, uint32_t value) { le_write(p, value, 4); }
inline void le_write_u64(unsigned char* p, uint64_t value) { le_write(p, value, 8); }
