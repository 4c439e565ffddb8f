#include "packer/exe_image.h"

#include <algorithm>

#include "format/little_endian.h"
#include "packer/exe_extras.h"
#include "packer/file_io.h"
#include "packer/pack_error.h"
#include "packer/payload_writer.h"

namespace {

uint64_t exe_align(uint64_t value, uint32_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

// Writes a 32-bit field at `offset`.
void exe_patch_u32(OutputFile& out, uint64_t offset, uint64_t value) {
  unsigned char field[4];
  le_write_u32(field, static_cast<uint32_t>(value));
  out.patch(offset, field, sizeof field);
}

// The PE image checksum of the first `size` bytes of `file`, the checksum field at
// `checksum_offset` counted as zero.
uint32_t exe_checksum(OutputFile& file, uint64_t size, uint64_t checksum_offset) {
  // Even-sized chunks, so a 16-bit word never straddles two reads.
  std::vector<unsigned char> buffer(1 << 20);
  uint64_t total = 0;
  uint64_t position = 0;
  while (position < size) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), size - position));
    file.read_back(position, buffer.data(), want);
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
  return static_cast<uint32_t>(total + size);
}

}  // namespace

void exe_begin(OutputFile& out, const std::vector<unsigned char>& launcher,
               const PePayloadSlot& slot) {
  static const unsigned char head[PE_PAYLOAD_OFFSET] = {};
  out.write(launcher.data(), static_cast<size_t>(slot.raw_offset));
  out.write(head, sizeof head);
}

void exe_end(OutputFile& out, const std::vector<unsigned char>& launcher,
             const PePayloadSlot& slot, const SectionHead& head, const ExeExtras& extras) {
  const uint64_t payload_length = head.length;
  const uint64_t content = PE_PAYLOAD_OFFSET + payload_length + head.files.size();
  const uint64_t raw_size = exe_align(content, slot.file_alignment);
  const uint64_t image_size = exe_align(slot.virtual_address + content, slot.section_alignment);
  if (payload_length > 0xFFFFFFFFull || image_size > 0xFFFFFFFFull) {
    throw PackError("the payload is larger than an executable image can hold (4 GiB)");
  }
  out.write(std::string(static_cast<size_t>(raw_size - content), '\0'));

  const uint64_t optional = slot.optional;
  uint32_t initialized = le_read_u32(&launcher[optional + PE_OPT_INITIALIZED_DATA]);
  // A count the tools show; the loader does not use it. Kept within 32 bits.
  uint64_t grown = static_cast<uint64_t>(initialized) + raw_size - slot.raw_size;
  if (grown > 0xFFFFFFFFull) grown = 0xFFFFFFFFull;
  out.patch(slot.raw_offset, section_head_bytes(head));
  exe_patch_u32(out, slot.header + PE_SECTION_VIRTUAL_SIZE, content);
  exe_patch_u32(out, slot.header + PE_SECTION_RAW_SIZE, raw_size);
  exe_patch_u32(out, optional + PE_OPT_INITIALIZED_DATA, grown);
  exe_patch_u32(out, optional + PE_OPT_SIZE_OF_IMAGE, image_size);
  const uint64_t file_size =
      exe_extras_apply(out, slot, extras, slot.raw_offset + raw_size, image_size);
  exe_patch_u32(out, optional + PE_OPT_CHECKSUM,
                exe_checksum(out, file_size, optional + PE_OPT_CHECKSUM));
}
