#include "payload/exe_image.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "payload/file_io.h"

namespace {

void exe_put(unsigned char* at, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; i++) at[i] = static_cast<unsigned char>((value >> (8 * i)) & 0xFF);
}

uint64_t exe_align(uint64_t value, uint32_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

bool exe_patch(FILE* out, uint64_t offset, uint64_t value, int bytes, std::string* error) {
  unsigned char field[8];
  exe_put(field, value, bytes);
  return file_patch(out, static_cast<int64_t>(offset), field, bytes, error);
}

}  // namespace

bool exe_begin(FILE* out, const std::vector<unsigned char>& launcher, const PePayloadSlot& slot,
               std::string* error) {
  static const unsigned char head[PE_PAYLOAD_OFFSET] = {};
  return file_write(out, launcher.data(), static_cast<size_t>(slot.raw_offset), error) &&
         file_write(out, head, sizeof head, error);
}

bool exe_end(FILE* out, const std::vector<unsigned char>& launcher, const PePayloadSlot& slot,
             uint64_t payload_length, std::string* error) {
  const uint64_t content = PE_PAYLOAD_OFFSET + payload_length;
  const uint64_t raw_size = exe_align(content, slot.file_alignment);
  const uint64_t image_size = exe_align(slot.virtual_address + content, slot.section_alignment);
  if (payload_length > 0xFFFFFFFFull || image_size > 0xFFFFFFFFull) {
    *error = "the payload is larger than an executable image can hold (4 GiB)";
    return false;
  }
  std::vector<unsigned char> padding(static_cast<size_t>(raw_size - content), 0);
  if (!file_write(out, padding.data(), padding.size(), error)) return false;

  const uint64_t optional = slot.optional;
  const uint64_t offset = optional + PE_OPT_INITIALIZED_DATA;
  uint32_t initialized = static_cast<uint32_t>(launcher[offset]) |
                         (static_cast<uint32_t>(launcher[offset + 1]) << 8) |
                         (static_cast<uint32_t>(launcher[offset + 2]) << 16) |
                         (static_cast<uint32_t>(launcher[offset + 3]) << 24);
  // A count the tools show; the loader does not use it. Kept within 32 bits.
  uint64_t grown = static_cast<uint64_t>(initialized) + raw_size - slot.raw_size;
  if (grown > 0xFFFFFFFFull) grown = 0xFFFFFFFFull;
  const uint64_t file_size = slot.raw_offset + raw_size;
  uint32_t sum = 0;
  bool ok = exe_patch(out, slot.raw_offset, payload_length, 8, error) &&
            exe_patch(out, slot.header + PE_SECTION_VIRTUAL_SIZE, content, 4, error) &&
            exe_patch(out, slot.header + PE_SECTION_RAW_SIZE, raw_size, 4, error) &&
            exe_patch(out, optional + PE_OPT_INITIALIZED_DATA, grown, 4, error) &&
            exe_patch(out, optional + PE_OPT_SIZE_OF_IMAGE, image_size, 4, error);
  if (ok && std::fflush(out) != 0) {
    *error = std::string("cannot write the output: ") + std::strerror(errno);
    return false;
  }
  return ok && exe_checksum(out, file_size, optional + PE_OPT_CHECKSUM, &sum, error) &&
         exe_patch(out, optional + PE_OPT_CHECKSUM, sum, 4, error);
}

bool exe_checksum(FILE* in, uint64_t size, uint64_t checksum_offset, uint32_t* sum,
                  std::string* error) {
  if (std::fseek(in, 0, SEEK_SET) != 0) {
    *error = std::string("cannot read the output back: ") + std::strerror(errno);
    return false;
  }
  // Even-sized chunks, so a 16-bit word never straddles two reads.
  std::vector<unsigned char> buffer(1 << 20);
  uint64_t total = 0;
  uint64_t position = 0;
  while (position < size) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), size - position));
    if (std::fread(buffer.data(), 1, want, in) != want) {
      *error = "cannot read the output back";
      return false;
    }
    for (size_t i = 0; i < want; i += 2) {
      uint64_t at = position + i;
      if (at >= checksum_offset && at < checksum_offset + 4) continue;
      uint32_t word = buffer[i] | (i + 1 < want ? buffer[i + 1] << 8 : 0);
      total += word;
      total = (total & 0xFFFF) + (total >> 16);
    }
    position += want;
  }
  total = (total & 0xFFFF) + (total >> 16);
  *sum = static_cast<uint32_t>(total + size);
  if (std::fseek(in, 0, SEEK_END) != 0) {
    *error = std::string("cannot write the output: ") + std::strerror(errno);
    return false;
  }
  return true;
}
