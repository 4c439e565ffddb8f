// The digest of one file's content that a cached executable records for every payload entry:
// XXH64 with seed 0, the hash zstd itself uses for its frame checksums. The launcher and the
// packer share this implementation; a Windows test checks it against the zstd library's.
//
// Decision: XXH64 over XXH3-128 or a keyed MAC. It runs at memory speed on one core, the
// launcher needs no code beyond these lines, and 64 bits leave a chance of 2^-64 that a damaged
// file keeps its digest. It is no defence against someone who chooses the bytes: such a person
// could rewrite the executable, which holds the digests, just as well.
#pragma once

#include <stdint.h>
#include <string.h>

constexpr uint64_t ZB_XXH_PRIME_1 = 0x9E3779B185EBCA87ull;
constexpr uint64_t ZB_XXH_PRIME_2 = 0xC2B2AE3D27D4EB4Full;
constexpr uint64_t ZB_XXH_PRIME_3 = 0x165667B19E3779F9ull;
constexpr uint64_t ZB_XXH_PRIME_4 = 0x85EBCA77C2B2AE63ull;
constexpr uint64_t ZB_XXH_PRIME_5 = 0x27D4EB2F165667C5ull;
constexpr uint32_t ZB_XXH_STRIPE_BYTES = 32;

// A digest in progress: the four lanes, the bytes taken so far and the stripe not yet full.
struct FileDigest {
  uint64_t lane[4];
  uint64_t total;
  unsigned char pending[ZB_XXH_STRIPE_BYTES];
  uint32_t pending_bytes;
};

inline uint64_t file_digest_rotate(uint64_t value, int bits) {
  return (value << bits) | (value >> (64 - bits));
}

// The target is little-endian x86-64: an unaligned load is one instruction.
inline uint64_t file_digest_load64(const unsigned char* p) {
  uint64_t value;
  memcpy(&value, p, sizeof value);
  return value;
}

inline uint64_t file_digest_round(uint64_t lane, uint64_t input) {
  return file_digest_rotate(lane + input * ZB_XXH_PRIME_2, 31) * ZB_XXH_PRIME_1;
}

inline void file_digest_start(FileDigest* digest) {
  digest->lane[0] = ZB_XXH_PRIME_1 + ZB_XXH_PRIME_2;
  digest->lane[1] = ZB_XXH_PRIME_2;
  digest->lane[2] = 0;
  digest->lane[3] = 0 - ZB_XXH_PRIME_1;
  digest->total = 0;
  digest->pending_bytes = 0;
}

// Whole stripes from `bytes`; returns how many bytes were taken (a multiple of 32).
inline uint64_t file_digest_stripes(FileDigest* digest, const unsigned char* bytes,
                                    uint64_t count) {
  uint64_t a = digest->lane[0], b = digest->lane[1], c = digest->lane[2], d = digest->lane[3];
  uint64_t done = 0;
  for (; count - done >= ZB_XXH_STRIPE_BYTES; done += ZB_XXH_STRIPE_BYTES) {
    a = file_digest_round(a, file_digest_load64(bytes + done));
    b = file_digest_round(b, file_digest_load64(bytes + done + 8));
    c = file_digest_round(c, file_digest_load64(bytes + done + 16));
    d = file_digest_round(d, file_digest_load64(bytes + done + 24));
  }
  digest->lane[0] = a, digest->lane[1] = b, digest->lane[2] = c, digest->lane[3] = d;
  return done;
}

inline void file_digest_update(FileDigest* digest, const unsigned char* bytes, uint64_t count) {
  digest->total += count;
  if (digest->pending_bytes != 0) {
    uint32_t take = ZB_XXH_STRIPE_BYTES - digest->pending_bytes;
    if (take > count) take = (uint32_t)count;
    memcpy(digest->pending + digest->pending_bytes, bytes, take);
    digest->pending_bytes += take;
    bytes += take;
    count -= take;
    if (digest->pending_bytes < ZB_XXH_STRIPE_BYTES) return;
    file_digest_stripes(digest, digest->pending, ZB_XXH_STRIPE_BYTES);
    digest->pending_bytes = 0;
  }
  uint64_t done = file_digest_stripes(digest, bytes, count);
  memcpy(digest->pending, bytes + done, (size_t)(count - done));
  digest->pending_bytes = (uint32_t)(count - done);
}

inline uint64_t file_digest_merge(uint64_t hash, uint64_t lane) {
  return (hash ^ file_digest_round(0, lane)) * ZB_XXH_PRIME_1 + ZB_XXH_PRIME_4;
}

inline uint64_t file_digest_finish(const FileDigest* digest) {
  uint64_t hash;
  if (digest->total >= ZB_XXH_STRIPE_BYTES) {
    const uint64_t* lane = digest->lane;
    hash = file_digest_rotate(lane[0], 1) + file_digest_rotate(lane[1], 7) +
           file_digest_rotate(lane[2], 12) + file_digest_rotate(lane[3], 18);
    for (int i = 0; i < 4; i++) hash = file_digest_merge(hash, lane[i]);
  } else {
    hash = ZB_XXH_PRIME_5;
  }
  hash += digest->total;
  const unsigned char* p = digest->pending;
  uint32_t left = digest->pending_bytes;
  for (; left >= 8; p += 8, left -= 8) {
    hash ^= file_digest_round(0, file_digest_load64(p));
    hash = file_digest_rotate(hash, 27) * ZB_XXH_PRIME_1 + ZB_XXH_PRIME_4;
  }
  if (left >= 4) {
    uint32_t word;
    memcpy(&word, p, sizeof word);
    hash ^= (uint64_t)word * ZB_XXH_PRIME_1;
    hash = file_digest_rotate(hash, 23) * ZB_XXH_PRIME_2 + ZB_XXH_PRIME_3;
    p += 4;
    left -= 4;
  }
  for (; left > 0; p++, left--) {
    hash ^= *p * ZB_XXH_PRIME_5;
    hash = file_digest_rotate(hash, 11) * ZB_XXH_PRIME_1;
  }
  hash ^= hash >> 33;
  hash *= ZB_XXH_PRIME_2;
  hash ^= hash >> 29;
  hash *= ZB_XXH_PRIME_3;
  hash ^= hash >> 32;
  return hash;
}

// The digest of `count` bytes at `bytes` in one call.
inline uint64_t file_digest_of(const unsigned char* bytes, uint64_t count) {
  FileDigest digest;
  file_digest_start(&digest);
  file_digest_update(&digest, bytes, count);
  return file_digest_finish(&digest);
}
