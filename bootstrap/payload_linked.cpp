#include <stdint.h>
#include <windows.h>

#include "base/fatal.h"
#include "base/payload_format.h"
#include "bootstrap/payload_reader.h"

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

// Checks the section head once per process: the length must fit the section, and the digest
// must match the array's header and table with the length, run flags and content key, so a
// damaged flag or key is caught like a damaged table. Fatal: header error.
static void payload_check_head(void) {
  static bool checked = false;
  if (checked) return;
  // A damaged length must not send the reader beyond the section.
  if (zobrin_payload_length > payload_section_room()) fatal_exit(FATAL_MSG_HEADER);
  if (payload_digest(zobrin_payload, zobrin_payload_length, zobrin_payload_flags,
                     zobrin_payload_key) != zobrin_payload_digest) {
    fatal_exit(FATAL_MSG_HEADER);
  }
  checked = true;
}

void payload_open(PayloadReader* reader) {
  payload_check_head();
  payload_open_array(reader, zobrin_payload, zobrin_payload_length);
}

uint64_t payload_linked_flags(void) {
  payload_check_head();
  uint64_t flags = zobrin_payload_flags;
  if (flags & ~ZB_RUN_FLAGS_KNOWN) fatal_exit(FATAL_MSG_HEADER);
  return flags;
}

uint64_t payload_linked_key(void) {
  payload_check_head();
  return zobrin_payload_key;
}
