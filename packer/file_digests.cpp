#include "packer/file_digests.h"

#include <algorithm>

#include "base/file_digest.h"
#include "format/little_endian.h"
#include "format/payload_format.h"
#include "packer/codec.h"
#include "packer/payload_read.h"

std::vector<uint64_t> file_digests_compute(const PayloadArray& array) {
  std::vector<uint64_t> sizes;
  payload_entries(array, "", [&](const TableEntry& entry) { sizes.push_back(entry.size); },
                  /* lenient */ true);
  std::vector<uint64_t> digests(sizes.size(), 0);
  StreamDecoder decoder(array.data + ZB_PAYLOAD_HEADER_BYTES + array.table,
                        static_cast<size_t>(array.stream));
  size_t index = 0;
  uint64_t left = sizes.empty() ? 0 : sizes[0];
  FileDigest digest;
  file_digest_start(&digest);
  // Entries of size 0 are complete before any byte is decoded.
  auto settle = [&]() {
    while (index < sizes.size() && left == 0) {
      digests[index] = file_digest_finish(&digest);
      file_digest_start(&digest);
      if (++index < sizes.size()) left = sizes[index];
    }
  };
  settle();
  const unsigned char* piece = nullptr;
  size_t piece_size = 0;
  while (index < sizes.size() && decoder.next(&piece, &piece_size)) {
    for (size_t used = 0; used < piece_size && index < sizes.size();) {
      size_t take = static_cast<size_t>(std::min<uint64_t>(left, piece_size - used));
      file_digest_update(&digest, piece + used, take);
      used += take;
      left -= take;
      settle();
    }
  }
  return digests;
}

std::string file_digests_block(const std::vector<uint64_t>& digests) {
  std::string block(ZB_FILE_DIGESTS_COUNT_BYTES + ZB_FILE_DIGEST_BYTES * digests.size(), '\0');
  auto* bytes = reinterpret_cast<unsigned char*>(&block[0]);
  le_write_u64(bytes, digests.size());
  for (size_t i = 0; i < digests.size(); i++) {
    le_write_u64(bytes + ZB_FILE_DIGESTS_COUNT_BYTES + ZB_FILE_DIGEST_BYTES * i, digests[i]);
  }
  return block;
}
