// Reads what the packer needs from PE images: the main DLL's kind and exports, and the
// payload section of a built executable. Every read is bounds-checked against the image.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Section of the executable that holds the payload: its length (8 bytes), 8 zero bytes,
// then the payload array.
constexpr const char* PE_PAYLOAD_SECTION = ".zobrin";
constexpr uint32_t PE_PAYLOAD_OFFSET = 16;

// True when `image` starts like a PE file ("MZ" and a "PE\0\0" signature in range).
bool pe_is_pe(const std::vector<unsigned char>& image);

// Checks that `image` is a 64-bit (x86-64) PE DLL exporting `symbol` by name. On failure
// returns false and sets `why` to a short reason ("not a PE file", ...).
bool pe_check_dll_export(const std::vector<unsigned char>& image, const char* symbol,
                         std::string* why);

// Finds a section by name; sets its file offset and raw size. False when absent or its raw
// data lies outside the image.
bool pe_find_section(const std::vector<unsigned char>& image, const char* name,
                     uint64_t* offset, uint64_t* size);

// Where a launcher image takes its payload: the payload section must be the image's last
// section, in memory and in the file, with nothing after it in the file.
struct PePayloadSlot {
  uint64_t optional = 0;        // file offset of the optional header
  uint64_t header = 0;          // file offset of the payload section's header
  uint64_t raw_offset = 0;      // file offset of the section's data
  uint32_t raw_size = 0;        // its size in the file
  uint32_t virtual_address = 0;
  uint32_t file_alignment = 0;
  uint32_t section_alignment = 0;
};

// Checks that `image` is a 64-bit executable whose last section is the payload section; on
// failure returns false and sets `why` to a short reason.
bool pe_payload_slot(const std::vector<unsigned char>& image, PePayloadSlot* slot,
                     std::string* why);

// Offsets of fields in the optional header (PE32+) and in a section header.
constexpr uint64_t PE_OPT_INITIALIZED_DATA = 8;
constexpr uint64_t PE_OPT_SIZE_OF_IMAGE = 56;
constexpr uint64_t PE_OPT_CHECKSUM = 64;
constexpr uint64_t PE_SECTION_VIRTUAL_SIZE = 8;
constexpr uint64_t PE_SECTION_RAW_SIZE = 16;
