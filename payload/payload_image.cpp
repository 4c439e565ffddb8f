#include "payload/payload_image.h"

#include <stdint.h>
#include <windows.h>

#include "base/fatal.h"
#include "format/little_endian.h"
#include "format/payload_format.h"

// The section head and the payload array, placed in the image by the packer's object file.
extern "C" const unsigned char zobrin_payload[];
extern "C" const uint64_t zobrin_payload_length;
extern "C" const uint64_t zobrin_payload_digest;
extern "C" const uint64_t zobrin_payload_flags;
extern "C" const uint64_t zobrin_payload_key;

// The bytes of the image section holding the section head that follow the head, read from the
// PE headers of the module that contains the payload. 0 when they cannot be found.
static uint64_t payload_section_room(void) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                              GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          /* lpModuleName */ reinterpret_cast<LPCWSTR>(zobrin_payload), &module)) {
    return 0;
  }
  const uintptr_t base = reinterpret_cast<uintptr_t>(module);
  const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew <= 0) return 0;
  const IMAGE_NT_HEADERS64* nt =
      reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + static_cast<uintptr_t>(dos->e_lfanew));
  if (nt->Signature != IMAGE_NT_SIGNATURE) return 0;
  const IMAGE_SECTION_HEADER* sections = IMAGE_FIRST_SECTION(nt);
  const uintptr_t array_rva = reinterpret_cast<uintptr_t>(zobrin_payload) - base;
  if (array_rva < ZB_SECTION_HEAD_BYTES) return 0;
  const uint64_t head_rva = array_rva - ZB_SECTION_HEAD_BYTES;
  for (WORD i = 0; i < nt->FileHeader.NumberOfSections; i++) {
    uint64_t start = sections[i].VirtualAddress;
    uint64_t size = sections[i].Misc.VirtualSize;
    if (head_rva >= start && head_rva - start < size) {
      uint64_t after_head = size - (head_rva - start);
      return after_head < ZB_SECTION_HEAD_BYTES ? 0 : after_head - ZB_SECTION_HEAD_BYTES;
    }
  }
  return 0;
}

void payload_image_open(PayloadImage* image) {
  // A damaged length or count must not send the reader beyond the section.
  uint64_t room = payload_section_room();
  uint64_t length = zobrin_payload_length;
  uint64_t flags = zobrin_payload_flags;
  if (length > room) fatal_exit(FATAL_MSG_HEADER);
  SectionTail tail;
  if (section_tail_parse(zobrin_payload + length, room - length, flags, &tail) !=
      SECTION_TAIL_OK) {
    fatal_exit(FATAL_MSG_HEADER);
  }
  const unsigned char* after = tail.bytes > 0 ? zobrin_payload + length : nullptr;
  if (payload_digest(zobrin_payload, length, flags, zobrin_payload_key, after, tail.bytes) !=
      zobrin_payload_digest) {
    fatal_exit(FATAL_MSG_HEADER);
  }
  if (flags & ~ZB_RUN_FLAGS_KNOWN) fatal_exit(FATAL_MSG_HEADER);
  // The header's sizes, as the reader checks them when it opens the array.
  if (length < ZB_PAYLOAD_HEADER_BYTES) fatal_exit(FATAL_MSG_HEADER);
  uint64_t table_size = le_read_u64(zobrin_payload + ZB_PAYLOAD_TABLE_SIZE_OFFSET);
  uint64_t stream_size = le_read_u64(zobrin_payload + ZB_PAYLOAD_STREAM_SIZE_OFFSET);
  if (table_size > length - ZB_PAYLOAD_HEADER_BYTES ||
      stream_size > length - ZB_PAYLOAD_HEADER_BYTES - table_size) {
    fatal_exit(FATAL_MSG_HEADER);
  }
  image->array = zobrin_payload;
  image->length = length;
  image->flags = flags;
  image->key = zobrin_payload_key;
  image->table = table_of_array(zobrin_payload);
  image->tail = tail;
}

const unsigned char* payload_image_setting(const PayloadImage* image, uint32_t kind,
                                           uint32_t* length) {
  return section_tail_setting(&image->tail, kind, length);
}
