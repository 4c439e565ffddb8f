#include "packer/coff_object.h"


#include "packer/byte_string.h"
#include "packer/file_io.h"
#include "packer/pack_error.h"
#include "packer/payload_writer.h"
#include "packer/pe_image.h"

namespace {

// The file header and one section header, then the section's data.
constexpr uint32_t COFF_DATA_OFFSET = PE_COFF_HEADER_BYTES + PE_SECTION_HEADER_BYTES;
// IMAGE_SCN_CNT_INITIALIZED_DATA | IMAGE_SCN_ALIGN_16BYTES | IMAGE_SCN_MEM_READ
constexpr uint32_t COFF_SECTION_FLAGS = 0x00000040 | 0x00500000 | 0x40000000;

std::string coff_headers(uint32_t raw_size, uint32_t symbol_table, uint32_t symbols) {
  std::string h;
  append_le(&h, PE_MACHINE_AMD64, 2);
  append_le(&h, 1, 2);  // NumberOfSections
  append_le(&h, 0, 4);  // TimeDateStamp: reproducible output
  append_le(&h, symbol_table, 4);
  append_le(&h, symbols, 4);
  append_le(&h, 0, 2);  // SizeOfOptionalHeader
  append_le(&h, 0, 2);  // Characteristics
  h += pe_section_name(PE_PAYLOAD_SECTION);
  append_le(&h, 0, 4);  // VirtualSize
  append_le(&h, 0, 4);  // VirtualAddress
  append_le(&h, raw_size, 4);
  append_le(&h, COFF_DATA_OFFSET, 4);
  append_le(&h, 0, 4);  // PointerToRelocations
  append_le(&h, 0, 4);  // PointerToLinenumbers
  append_le(&h, 0, 2);
  append_le(&h, 0, 2);
  append_le(&h, COFF_SECTION_FLAGS, 4);
  return h;
}

// An external symbol in section 1 whose name lives in the string table at `name_offset`.
void coff_symbol(std::string* out, uint32_t name_offset, uint32_t value) {
  append_le(out, 0, 4);
  append_le(out, name_offset, 4);
  append_le(out, value, 4);
  append_le(out, 1, 2);  // SectionNumber
  append_le(out, 0, 2);  // Type
  append_le(out, 2, 1);  // StorageClass: IMAGE_SYM_CLASS_EXTERNAL
  append_le(out, 0, 1);  // NumberOfAuxSymbols
}

}  // namespace

uint64_t coff_begin(OutputFile& out) {
  uint64_t start = out.position();
  std::string head = coff_headers(0, 0, 0);
  head.append(PE_PAYLOAD_OFFSET, '\0');
  out.write(head);
  return start;
}

void coff_end(OutputFile& out, uint64_t start, const SectionHead& head_fields) {
  uint64_t section = PE_PAYLOAD_OFFSET + head_fields.length + head_fields.files.size();
  uint64_t padded = (section + 15) / 16 * 16;
  if (padded > 0xFFFFFFF0ull - COFF_DATA_OFFSET) {
    throw PackError("the payload is larger than an object file section can hold (4 GiB)");
  }
  std::string tail(static_cast<size_t>(padded - section), '\0');
  const char names[] =
      "zobrin_payload_length\0zobrin_payload\0zobrin_payload_digest\0zobrin_payload_flags\0"
      "zobrin_payload_key\0";
  std::string symbols;
  coff_symbol(&symbols, 4, ZB_SECTION_LENGTH_OFFSET);
  coff_symbol(&symbols, 4 + 22, PE_PAYLOAD_OFFSET);
  coff_symbol(&symbols, 4 + 22 + 15, ZB_SECTION_DIGEST_OFFSET);
  coff_symbol(&symbols, 4 + 22 + 15 + 22, ZB_SECTION_FLAGS_OFFSET);
  coff_symbol(&symbols, 4 + 22 + 15 + 22 + 21, ZB_SECTION_KEY_OFFSET);
  tail += symbols;
  append_le(&tail, 4 + sizeof names - 1, 4);
  tail.append(names, sizeof names - 1);
  std::string head = coff_headers(static_cast<uint32_t>(padded),
                                  static_cast<uint32_t>(COFF_DATA_OFFSET + padded), 5);
  out.write(tail);
  out.patch(start, head);
  out.patch(start + COFF_DATA_OFFSET, section_head_bytes(head_fields));
}
