// The file digests a cached executable carries after its payload array (format/payload_format.h):
// one XXH64 (base/file_digest.h) of each entry's decoded content, in table order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PayloadArray;

// Each entry's digest, decoding the array's stream. Lenient, for an array packed as it stands:
// the entries are those of the table up to its first malformed one, and an entry whose bytes
// the stream cannot supply whole gets 0.
std::vector<uint64_t> file_digests_compute(const PayloadArray& array);

// The block as it follows the array: the count, then the digests (8 little-endian bytes each).
std::string file_digests_block(const std::vector<uint64_t>& digests);
