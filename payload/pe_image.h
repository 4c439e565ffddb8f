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
