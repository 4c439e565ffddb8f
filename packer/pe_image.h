// Reads what the packer needs from PE images: the main DLL's kind and exports, and the
// payload section of a built executable. Every read is bounds-checked against the image.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "format/payload_format.h"

// Section of the executable that holds the payload: the section head (the array's length,
// digest, run flags and content key, format/payload_format.h), then the payload array.
constexpr const char* PE_PAYLOAD_SECTION = ".zobrin";
constexpr uint32_t PE_PAYLOAD_OFFSET = ZB_SECTION_HEAD_BYTES;

// The DOS header's pointer to the "PE\0\0" signature; the COFF header follows the signature.
constexpr uint64_t PE_DOS_HEADER_BYTES = 64;
constexpr uint64_t PE_DOS_NEW_HEADER = 0x3C;
constexpr uint64_t PE_SIGNATURE_BYTES = 4;
// COFF file header fields, and its size.
constexpr uint64_t PE_COFF_MACHINE = 0;
constexpr uint64_t PE_COFF_SECTION_COUNT = 2;
constexpr uint64_t PE_COFF_OPTIONAL_SIZE = 16;
constexpr uint64_t PE_COFF_CHARACTERISTICS = 18;
constexpr uint64_t PE_COFF_HEADER_BYTES = 20;
constexpr uint32_t PE_MACHINE_AMD64 = 0x8664;
constexpr uint32_t PE_MACHINE_I386 = 0x14C;
constexpr uint32_t PE_CHARACTERISTIC_DLL = 0x2000;
// Optional header (PE32+) fields.
constexpr uint64_t PE_OPT_MAGIC = 0;
constexpr uint32_t PE_OPT_MAGIC_PE32_PLUS = 0x20B;
constexpr uint32_t PE_OPT_MAGIC_PE32 = 0x10B;
// The subsystem field, at the same offset in PE32 and PE32+ optional headers.
constexpr uint64_t PE_OPT_SUBSYSTEM = 68;
constexpr uint32_t PE_SUBSYSTEM_GUI = 2;
constexpr uint32_t PE_SUBSYSTEM_CONSOLE = 3;
constexpr uint64_t PE_OPT_INITIALIZED_DATA = 8;
constexpr uint64_t PE_OPT_SECTION_ALIGNMENT = 32;
constexpr uint64_t PE_OPT_FILE_ALIGNMENT = 36;
constexpr uint64_t PE_OPT_SIZE_OF_IMAGE = 56;
constexpr uint64_t PE_OPT_CHECKSUM = 64;
constexpr uint64_t PE_OPT_DIRECTORY_COUNT = 108;
constexpr uint64_t PE_OPT_DIRECTORIES = 112;
constexpr uint64_t PE_DIRECTORY_BYTES = 8;  // RVA (4) and size (4)
constexpr uint32_t PE_DIRECTORY_EXPORT = 0;
constexpr uint32_t PE_DIRECTORY_IMPORT = 1;
constexpr uint32_t PE_DIRECTORY_DELAY_IMPORT = 13;
constexpr uint32_t PE_DIRECTORY_CERTIFICATE = 4;
// Section header fields, and its size.
constexpr uint64_t PE_SECTION_NAME_BYTES = 8;
constexpr uint64_t PE_SECTION_VIRTUAL_SIZE = 8;
constexpr uint64_t PE_SECTION_VIRTUAL_ADDRESS = 12;
constexpr uint64_t PE_SECTION_RAW_SIZE = 16;
constexpr uint64_t PE_SECTION_RAW_OFFSET = 20;
constexpr uint64_t PE_SECTION_HEADER_BYTES = 40;
// Export directory fields, and its size.
constexpr uint64_t PE_EXPORT_NAME_COUNT = 24;
constexpr uint64_t PE_EXPORT_NAMES = 32;
constexpr uint64_t PE_EXPORT_DIRECTORY_BYTES = 40;
// Import descriptor: the name table's RVA at 0, the DLL name's at 12, 20 bytes; a zero
// descriptor ends the list. Delay-load descriptor: the DLL name's RVA at 4, the name table's
// at 16, 32 bytes.
constexpr uint64_t PE_IMPORT_NAME_TABLE = 0;
constexpr uint64_t PE_IMPORT_NAME = 12;
constexpr uint64_t PE_IMPORT_DESCRIPTOR_BYTES = 20;
constexpr uint64_t PE_DELAY_IMPORT_NAME = 4;
constexpr uint64_t PE_DELAY_IMPORT_NAME_TABLE = 16;
constexpr uint64_t PE_DELAY_IMPORT_DESCRIPTOR_BYTES = 32;

// The 8-byte, NUL-padded form of a section name (longer names are cut).
std::string pe_section_name(const char* name);

// True when `image` starts like a PE file ("MZ" and a "PE\0\0" signature in range).
bool pe_is_pe(const std::vector<unsigned char>& image);

// Why `image` cannot be loaded as a 64-bit (x86-64) DLL (or, for a `program_machine` of
// PE_MACHINE_I386, as an i386 one), as the words after its name: "is not a PE file", "is
// built for arm64, ...", "is not a DLL", "is cut short: its section '.text' ends past the end
// of the file"; empty when it can.
std::string pe_dll_problem(const std::vector<unsigned char>& image,
                           uint32_t program_machine = PE_MACHINE_AMD64);

// Checks that `image` is a 64-bit (x86-64) PE DLL (pe_dll_problem) exporting `symbol` by
// name. Otherwise throws PackError("<subject> <reason>"), the reason pe_dll_problem's, "does
// not export '<symbol>'", or, when only a C++ name for the symbol is exported, "has <symbol>
// exported as `<mangled>`: declare it extern "C" ..." (run_code's own signature) or "...,
// a C++ function with other parameters: define it as ..." (any other). `absent_hint` follows
// the two "does not export" reasons.
void pe_check_dll_export(const std::vector<unsigned char>& image, const char* symbol,
                         const std::string& subject, const std::string& absent_hint = "");

// What a main file is, from its headers: a DLL, a program (with its machine and subsystem), or
// not a PE image at all.
struct PeMainKind {
  enum Kind { not_pe, dll, program } kind = not_pe;
  uint32_t machine = 0;
  uint32_t subsystem = 0;  // programs only
};

// Reads the kind of `image`, which may be only the first bytes of a file (the headers and
// the section table suffice).
PeMainKind pe_main_kind(const std::vector<unsigned char>& image);

// The kind for `list` and `verify`: "DLL (x86-64)", "program (console, x86-64)",
// "program (windowed, i386)", "not a PE image".
std::string pe_main_kind_text(const PeMainKind& kind);

// Why a PE file of `file_size` bytes whose first bytes are `head` (its headers and section
// table at least) cannot be loaded whole: "is cut short: its section '.text' ends past the end
// of the file"; empty when every section's raw data lies within it, or `head` is no PE file.
std::string pe_cut_short(const std::vector<unsigned char>& head, uint64_t file_size);

constexpr uint64_t PE_WHOLE_IMAGE = UINT64_MAX;
// Enough of a PE file's first bytes for its headers and section table.
constexpr size_t PE_HEAD_BYTES = 65536;

// Checks that `image` is a program the launcher can start: a PE image that is not a DLL,
// built for x86-64 (PE32+) or i386 (PE32, run under WoW64), for the console or windowed
// subsystem, not cut short (its sections within `file_size` bytes, or within `image` when it
// is the whole file). Otherwise throws PackError("<subject> <reason>"). Returns its kind.
PeMainKind pe_check_program(const std::vector<unsigned char>& image, const std::string& subject,
                            uint64_t file_size = PE_WHOLE_IMAGE);

// The names `image` exports; nothing for an image that is not a 64-bit PE file.
std::vector<std::string> pe_export_names(const std::vector<unsigned char>& image);

// One DLL an image imports, and the functions it imports from it by name (ordinals left out).
struct PeImport {
  std::string dll;
  std::vector<std::string> functions;
};

// The DLLs `image` imports (its import and delay-load tables, in table order, names as
// written); nothing for an image that is not a 64-bit PE file. A damaged table gives what was
// read before the damage.
std::vector<PeImport> pe_imports(const std::vector<unsigned char>& image);

struct PeSection {
  uint64_t offset;  // file offset of its raw data
  uint64_t size;    // raw size
};

// Finds a section by name; nothing when absent. Its raw data may lie beyond the image's end
// (a file cut short): the caller checks.
std::optional<PeSection> pe_find_section(const std::vector<unsigned char>& image,
                                         const char* name);

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

// Checks that `image` is a 64-bit executable whose last section is the payload section.
// Otherwise throws PackError("<subject>: <reason>").
PePayloadSlot pe_payload_slot(const std::vector<unsigned char>& image, const std::string& subject);
