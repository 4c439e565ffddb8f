#include "packer/file_digests.h"

#include <algorithm>
#include <memory>
#include <zstd.h>

#include "base/file_digest.h"
#include "format/little_endian.h"
#include "format/payload_format.h"
#include "packer/pack_error.h"
#include "packer/payload_read.h"

namespace {

struct DCtxFree {
  void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

}  // namespace

std::vector<uint64_t> file_digests_compute(const PayloadArray& array) {
  std::vector<uint64_t> sizes;
  payload_entries(array, "", [&](const TableEntry& entry) { sizes.push_back(entry.size); },
                  /* lenient */ true);
  std::vector<uint64_t> digests(sizes.size(), 0);
  std::unique_ptr<ZSTD_DCtx, DCtxFree> context(ZSTD_createDCtx());
  if (!context) throw PackError("cannot create a zstd decompression context");
  ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, ZB_WINDOW_LOG);
  ZSTD_inBuffer input = {array.data + ZB_PAYLOAD_HEADER_BYTES + array.table,
                         static_cast<size_t>(array.stream), 0};
  std::vector<unsigned char> buffer(ZSTD_DStreamOutSize());
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
  while (index < sizes.size()) {
    ZSTD_outBuffer output = {buffer.data(), buffer.size(), 0};
    size_t result = ZSTD_decompressStream(context.get(), &output, &input);
    if (ZSTD_isError(result)) break;
    for (size_t used = 0; used < output.pos && index < sizes.size();) {
      size_t take = static_cast<size_t>(std::min<uint64_t>(left, output.pos - used));
      file_digest_update(&digest, buffer.data() + used, take);
      used += take;
      left -= take;
      settle();
    }
    // The stream's end: its last frame complete, or cut short.
    if (input.pos == input.size && (result == 0 || output.pos < output.size)) break;
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
