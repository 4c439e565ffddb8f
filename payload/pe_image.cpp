#include "payload/pe_image.h"

#include <algorithm>
#include <cstring>

namespace {

struct PeView {
  const std::vector<unsigned char>* image;
  uint64_t coff;          // offset of the COFF file header
  uint64_t optional;      // offset of the optional header
  uint32_t optional_size;
  uint32_t sections;      // offset of the section table
  uint32_t section_count;
};

bool pe_in(const std::vector<unsigned char>& image, uint64_t offset, uint64_t size) {
  return offset <= image.size() && size <= image.size() - offset;
}

uint32_t pe_u16(const std::vector<unsigned char>& image, uint64_t offset) {
  return image[offset] | (image[offset + 1] << 8);
}

uint32_t pe_u32(const std::vector<unsigned char>& image, uint64_t offset) {
  return static_cast<uint32_t>(image[offset]) | (static_cast<uint32_t>(image[offset + 1]) << 8) |
         (static_cast<uint32_t>(image[offset + 2]) << 16) |
         (static_cast<uint32_t>(image[offset + 3]) << 24);
}

bool pe_view(const std::vector<unsigned char>& image, PeView* view) {
  if (!pe_in(image, 0, 64) || image[0] != 'M' || image[1] != 'Z') return false;
  uint64_t pe = pe_u32(image, 0x3C);
  if (!pe_in(image, pe, 24) || std::memcmp(&image[pe], "PE\0\0", 4) != 0) return false;
  view->image = &image;
  view->coff = pe + 4;
  view->section_count = pe_u16(image, view->coff + 2);
  view->optional_size = pe_u16(image, view->coff + 16);
  view->optional = view->coff + 20;
  uint64_t sections = view->optional + view->optional_size;
  if (!pe_in(image, sections, 40ull * view->section_count)) return false;
  view->sections = static_cast<uint32_t>(sections);
  return true;
}

// Maps an RVA to a file offset with `size` readable bytes; false when outside raw data.
bool pe_rva(const PeView& view, uint32_t rva, uint64_t size, uint64_t* offset) {
  const std::vector<unsigned char>& image = *view.image;
  for (uint32_t i = 0; i < view.section_count; i++) {
    uint64_t s = view.sections + 40ull * i;
    uint32_t va = pe_u32(image, s + 12);
    uint32_t raw_size = pe_u32(image, s + 16);
    uint32_t raw = pe_u32(image, s + 20);
    if (rva >= va && rva - va < raw_size) {
      uint64_t within = rva - va;
      if (size > raw_size - within) return false;
      *offset = static_cast<uint64_t>(raw) + within;
      return pe_in(image, *offset, size);
    }
  }
  return false;
}

}  // namespace

bool pe_is_pe(const std::vector<unsigned char>& image) {
  PeView view;
  return pe_view(image, &view);
}

bool pe_check_dll_export(const std::vector<unsigned char>& image, const char* symbol,
                         std::string* why) {
  PeView view;
  if (!pe_view(image, &view)) {
    *why = "not a PE file";
    return false;
  }
  if (pe_u16(image, view.coff) != 0x8664 || view.optional_size < 112 + 8 ||
      !pe_in(image, view.optional, view.optional_size) || pe_u16(image, view.optional) != 0x20B) {
    *why = "not a 64-bit (x86-64) PE image";
    return false;
  }
  if ((pe_u16(image, view.coff + 18) & 0x2000) == 0) {
    *why = "not a DLL";
    return false;
  }
  uint32_t directories = pe_u32(image, view.optional + 108);
  uint32_t export_rva = pe_u32(image, view.optional + 112);
  uint32_t export_size = pe_u32(image, view.optional + 116);
  uint64_t directory;
  if (directories < 1 || export_rva == 0 || export_size == 0 ||
      !pe_rva(view, export_rva, 40, &directory)) {
    *why = std::string("does not export '") + symbol + "' (it has no export table)";
    return false;
  }
  uint32_t name_count = pe_u32(image, directory + 24);
  uint64_t names;
  if (name_count > 0 && !pe_rva(view, pe_u32(image, directory + 32), 4ull * name_count, &names)) {
    *why = "has a damaged export table";
    return false;
  }
  size_t symbol_length = std::strlen(symbol);
  for (uint32_t i = 0; i < name_count; i++) {
    uint64_t name;
    if (pe_rva(view, pe_u32(image, names + 4ull * i), symbol_length + 1, &name) &&
        std::memcmp(&image[name], symbol, symbol_length + 1) == 0) {
      return true;
    }
  }
  *why = std::string("does not export '") + symbol + "'";
  return false;
}

bool pe_find_section(const std::vector<unsigned char>& image, const char* name,
                     uint64_t* offset, uint64_t* size) {
  PeView view;
  if (!pe_view(image, &view)) return false;
  char wanted[8] = {};
  std::memcpy(wanted, name, std::min<size_t>(std::strlen(name), sizeof wanted));
  for (uint32_t i = 0; i < view.section_count; i++) {
    uint64_t s = view.sections + 40ull * i;
    if (std::memcmp(&image[s], wanted, 8) != 0) continue;
    *size = pe_u32(image, s + 16);
    *offset = pe_u32(image, s + 20);
    return pe_in(image, *offset, *size);
  }
  return false;
}

bool pe_payload_slot(const std::vector<unsigned char>& image, PePayloadSlot* slot,
                     std::string* why) {
  PeView view;
  if (!pe_view(image, &view)) {
    *why = "not a PE file";
    return false;
  }
  if (pe_u16(image, view.coff) != 0x8664 || view.optional_size < 112 + 8 * 5 ||
      !pe_in(image, view.optional, view.optional_size) || pe_u16(image, view.optional) != 0x20B) {
    *why = "not a 64-bit (x86-64) PE image";
    return false;
  }
  if ((pe_u16(image, view.coff + 18) & 0x2000) != 0 || view.section_count == 0) {
    *why = "not an executable";
    return false;
  }
  if (view.optional % 8 != 0) {
    *why = "its headers are not aligned as a PE image's";
    return false;
  }
  uint64_t last = view.sections + 40ull * (view.section_count - 1);
  char wanted[8] = {};
  std::memcpy(wanted, PE_PAYLOAD_SECTION, std::strlen(PE_PAYLOAD_SECTION));
  if (std::memcmp(&image[last], wanted, 8) != 0) {
    *why = std::string("its last section is not '") + PE_PAYLOAD_SECTION + "'";
    return false;
  }
  slot->optional = view.optional;
  slot->header = last;
  slot->virtual_address = pe_u32(image, last + 12);
  slot->raw_size = pe_u32(image, last + 16);
  slot->raw_offset = pe_u32(image, last + 20);
  slot->file_alignment = pe_u32(image, view.optional + 36);
  slot->section_alignment = pe_u32(image, view.optional + 32);
  uint32_t fa = slot->file_alignment;
  if (fa < 512 || fa > 65536 || (fa & (fa - 1)) != 0 || slot->section_alignment < fa ||
      slot->raw_offset % fa != 0) {
    *why = "its alignments are not those of a PE image";
    return false;
  }
  for (uint32_t i = 0; i + 1 < view.section_count; i++) {
    uint64_t s = view.sections + 40ull * i;
    uint64_t end_va = static_cast<uint64_t>(pe_u32(image, s + 12)) + pe_u32(image, s + 8);
    uint64_t end_raw = static_cast<uint64_t>(pe_u32(image, s + 20)) + pe_u32(image, s + 16);
    if (end_va > slot->virtual_address || end_raw > slot->raw_offset) {
      *why = std::string("section '") + PE_PAYLOAD_SECTION + "' is not last in memory and file";
      return false;
    }
  }
  if (slot->raw_size < PE_PAYLOAD_OFFSET ||
      slot->raw_offset + slot->raw_size != static_cast<uint64_t>(image.size())) {
    *why = std::string("section '") + PE_PAYLOAD_SECTION + "' does not end the file";
    return false;
  }
  // A signature (the certificate directory) covers the file by offset and would be broken.
  uint32_t directories = pe_u32(image, view.optional + 108);
  if (directories > 4 && pe_u32(image, view.optional + 112 + 8 * 4 + 4) != 0) {
    *why = "it is signed";
    return false;
  }
  return true;
}
