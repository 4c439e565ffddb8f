#include <stdint.h>
#include <windows.h>

#include "base/fatal.h"
#include "format/little_endian.h"
#include "format/payload_format.h"
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

// The file digests after the array (cached mode only): the count and the digests.
static const unsigned char* payload_files = nullptr;
static uint64_t payload_files_count = 0;
// The settings' records (run flag ZB_RUN_FLAG_SETTINGS only) and their length.
static const unsigned char* payload_settings = nullptr;
static uint64_t payload_settings_bytes = 0;

// Checks the section head once per process: the length must fit the section (with the file
// digests and the settings after the array, when the run flags announce them), the settings
// must be well formed, and the digest must match the array's header and table, the blocks
// after it and the head's length, run flags and content key, so a damaged flag, key, file
// digest or setting is caught like a damaged table. Fatal: header error.
static void payload_check_head(void) {
  static bool checked = false;
  if (checked) return;
  // A damaged length or count must not send the reader beyond the section.
  uint64_t room = payload_section_room();
  uint64_t length = zobrin_payload_length;
  if (length > room) fatal_exit(FATAL_MSG_HEADER);
  room -= length;
  const unsigned char* after = zobrin_payload + length;
  uint64_t after_bytes = 0;
  if (zobrin_payload_flags & ZB_RUN_FLAG_CACHE) {
    if (room < ZB_FILE_DIGESTS_COUNT_BYTES) fatal_exit(FATAL_MSG_HEADER);
    payload_files = after;
    payload_files_count = le_read_u64(payload_files);
    if (payload_files_count > (room - ZB_FILE_DIGESTS_COUNT_BYTES) / ZB_FILE_DIGEST_BYTES) {
      fatal_exit(FATAL_MSG_HEADER);
    }
    after_bytes = ZB_FILE_DIGESTS_COUNT_BYTES + payload_files_count * ZB_FILE_DIGEST_BYTES;
    room -= after_bytes;
  }
  if (zobrin_payload_flags & ZB_RUN_FLAG_SETTINGS) {
    if (room < ZB_SETTINGS_LENGTH_BYTES) fatal_exit(FATAL_MSG_HEADER);
    payload_settings_bytes = le_read_u64(after + after_bytes);
    if (payload_settings_bytes > room - ZB_SETTINGS_LENGTH_BYTES) fatal_exit(FATAL_MSG_HEADER);
    payload_settings = after + after_bytes + ZB_SETTINGS_LENGTH_BYTES;
    if (!payload_settings_find(payload_settings, payload_settings_bytes, /* kind */ 0,
                               /* value */ nullptr, /* length */ nullptr)) {
      fatal_exit(FATAL_MSG_HEADER);
    }
    after_bytes += ZB_SETTINGS_LENGTH_BYTES + payload_settings_bytes;
  }
  if (payload_digest(zobrin_payload, length, zobrin_payload_flags, zobrin_payload_key, after,
                     after_bytes) != zobrin_payload_digest) {
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

uint64_t payload_linked_file_digests(const unsigned char** digests) {
  payload_check_head();
  *digests = payload_files == nullptr ? nullptr : payload_files + ZB_FILE_DIGESTS_COUNT_BYTES;
  return payload_files_count;
}

const unsigned char* payload_linked_setting(uint32_t kind, uint32_t* length) {
  payload_check_head();
  const unsigned char* value = nullptr;
  *length = 0;
  if (payload_settings != nullptr) {
    payload_settings_find(payload_settings, payload_settings_bytes, kind, &value, length);
  }
  return value;
}
