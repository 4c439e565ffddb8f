#include "payload/coff_object.h"

#include <cstring>

#include "payload/file_io.h"
#include "payload/pe_image.h"

namespace {

constexpr uint32_t COFF_HEADER_BYTES = 20;
constexpr uint32_t COFF_SECTION_BYTES = 40;
constexpr uint32_t COFF_DATA_OFFSET = COFF_HEADER_BYTES + COFF_SECTION_BYTES;
// IMAGE_SCN_CNT_INITIALIZED_DATA | IMAGE_SCN_ALIGN_16BYTES | IMAGE_SCN_MEM_READ
constexpr uint32_t COFF_SECTION_FLAGS = 0x00000040 | 0x00500000 | 0x40000000;

void coff_put(std::string* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; i++) out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

std::string coff_headers(uint32_t raw_size, uint32_t symbol_table, uint32_t symbols) {
  std::string h;
  coff_put(&h, 0x8664, 2);  // Machine: x86-64
  coff_put(&h, 1, 2);       // NumberOfSections
  coff_put(&h, 0, 4);       // TimeDateStamp: reproducible output
  coff_put(&h, symbol_table, 4);
  coff_put(&h, symbols, 4);
  coff_put(&h, 0, 2);  // SizeOfOptionalHeader
  coff_put(&h, 0, 2);  // Characteristics
  char name[8] = {};
  std::memcpy(name, PE_PAYLOAD_SECTION, std::strlen(PE_PAYLOAD_SECTION));
  h.append(name, 8);
  coff_put(&h, 0, 4);  // VirtualSize
  coff_put(&h, 0, 4);  // VirtualAddress
  coff_put(&h, raw_size, 4);
  coff_put(&h, COFF_DATA_OFFSET, 4);
  coff_put(&h, 0, 4);  // PointerToRelocations
  coff_put(&h, 0, 4);  // PointerToLinenumbers
  coff_put(&h, 0, 2);
  coff_put(&h, 0, 2);
  coff_put(&h, COFF_SECTION_FLAGS, 4);
  return h;
}

// An external symbol in section 1 whose name lives in the string table at `name_offset`.
void coff_symbol(std::string* out, uint32_t name_offset, uint32_t value) {
  coff_put(out, 0, 4);
  coff_put(out, name_offset, 4);
  coff_put(out, value, 4);
  coff_put(out, 1, 2);  // SectionNumber
  coff_put(out, 0, 2);  // Type
  coff_put(out, 2, 1);  // StorageClass: IMAGE_SYM_CLASS_EXTERNAL
  coff_put(out, 0, 1);  // NumberOfAuxSymbols
}

}  // namespace

bool coff_begin(FILE* out, int64_t* start, std::string* error) {
  *start = file_tell(out);
  std::string head = coff_headers(0, 0, 0);
  head.append(PE_PAYLOAD_OFFSET, '\0');
  return file_write(out, head.data(), head.size(), error);
}

bool coff_end(FILE* out, int64_t start, uint64_t payload_length, std::string* error) {
  uint64_t section = PE_PAYLOAD_OFFSET + payload_length;
  uint64_t padded = (section + 15) / 16 * 16;
  if (padded > 0xFFFFFFF0ull - COFF_DATA_OFFSET) {
    *error = "the payload is larger than an object file section can hold (4 GiB)";
    return false;
  }
  std::string tail(static_cast<size_t>(padded - section), '\0');
  const char names[] = "zobrin_payload_length\0zobrin_payload\0";
  std::string symbols;
  coff_symbol(&symbols, 4, 0);
  coff_symbol(&symbols, 4 + 22, PE_PAYLOAD_OFFSET);
  tail += symbols;
  coff_put(&tail, 4 + sizeof names - 1, 4);
  tail.append(names, sizeof names - 1);
  std::string head = coff_headers(static_cast<uint32_t>(padded),
                                  static_cast<uint32_t>(COFF_DATA_OFFSET + padded), 2);
  std::string length;
  coff_put(&length, payload_length, 8);
  return file_write(out, tail.data(), tail.size(), error) &&
         file_patch(out, start, head.data(), head.size(), error) &&
         file_patch(out, start + COFF_DATA_OFFSET, length.data(), length.size(), error);
}
