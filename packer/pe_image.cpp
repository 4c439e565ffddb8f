#include "packer/pe_image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "format/little_endian.h"
#include "packer/pack_error.h"

namespace {

struct PeView {
  const std::vector<unsigned char>* image;
  uint64_t coff;          // offset of the COFF file header
  uint64_t optional;      // offset of the optional header
  uint32_t optional_size;
  // 16 for a PE32 (32-bit) optional header, whose data directories come 16 bytes earlier
  // than PE32+'s; else 0.
  uint32_t shift;
  uint32_t sections;      // offset of the section table
  uint32_t section_count;
};

bool pe_in(const std::vector<unsigned char>& image, uint64_t offset, uint64_t size) {
  return offset <= image.size() && size <= image.size() - offset;
}

uint32_t pe_u16(const std::vector<unsigned char>& image, uint64_t offset) {
  return le_read_u16(&image[offset]);
}

uint32_t pe_u32(const std::vector<unsigned char>& image, uint64_t offset) {
  return le_read_u32(&image[offset]);
}

uint64_t pe_section_header(const PeView& view, uint32_t index) {
  return view.sections + PE_SECTION_HEADER_BYTES * index;
}

uint64_t pe_directory(const PeView& view, uint32_t index) {
  return view.optional + PE_OPT_DIRECTORIES - view.shift + PE_DIRECTORY_BYTES * index;
}

// The number of data directories the optional header declares.
uint32_t pe_directory_count(const PeView& view) {
  return pe_u32(*view.image, view.optional + PE_OPT_DIRECTORY_COUNT - view.shift);
}

bool pe_view(const std::vector<unsigned char>& image, PeView* view) {
  if (!pe_in(image, 0, PE_DOS_HEADER_BYTES) || image[0] != 'M' || image[1] != 'Z') return false;
  uint64_t pe = pe_u32(image, PE_DOS_NEW_HEADER);
  if (!pe_in(image, pe, PE_SIGNATURE_BYTES + PE_COFF_HEADER_BYTES) ||
      std::memcmp(&image[pe], "PE\0\0", PE_SIGNATURE_BYTES) != 0) {
    return false;
  }
  view->image = &image;
  view->coff = pe + PE_SIGNATURE_BYTES;
  view->section_count = pe_u16(image, view->coff + PE_COFF_SECTION_COUNT);
  view->optional_size = pe_u16(image, view->coff + PE_COFF_OPTIONAL_SIZE);
  view->optional = view->coff + PE_COFF_HEADER_BYTES;
  view->shift = view->optional_size >= 2 && pe_in(image, view->optional, 2) &&
                        pe_u16(image, view->optional + PE_OPT_MAGIC) == PE_OPT_MAGIC_PE32
                    ? 16
                    : 0;
  uint64_t sections = view->optional + view->optional_size;
  if (!pe_in(image, sections, PE_SECTION_HEADER_BYTES * view->section_count)) return false;
  view->sections = static_cast<uint32_t>(sections);
  return true;
}

// True for a PE32+ x86-64 image whose optional header holds `directories` data directories.
bool pe_is_amd64(const PeView& view, uint32_t directories) {
  const std::vector<unsigned char>& image = *view.image;
  return pe_u16(image, view.coff + PE_COFF_MACHINE) == PE_MACHINE_AMD64 &&
         view.optional_size >= PE_OPT_DIRECTORIES + PE_DIRECTORY_BYTES * directories &&
         pe_in(image, view.optional, view.optional_size) &&
         pe_u16(image, view.optional + PE_OPT_MAGIC) == PE_OPT_MAGIC_PE32_PLUS;
}

// True for a PE32 i386 image whose optional header holds `directories` data directories.
bool pe_is_i386(const PeView& view, uint32_t directories) {
  const std::vector<unsigned char>& image = *view.image;
  return pe_u16(image, view.coff + PE_COFF_MACHINE) == PE_MACHINE_I386 && view.shift != 0 &&
         view.optional_size >= PE_OPT_DIRECTORIES - view.shift + PE_DIRECTORY_BYTES * directories &&
         pe_in(image, view.optional, view.optional_size);
}

bool pe_is_dll(const PeView& view) {
  return (pe_u16(*view.image, view.coff + PE_COFF_CHARACTERISTICS) & PE_CHARACTERISTIC_DLL) != 0;
}

// Maps an RVA to a file offset with `size` readable bytes; false when outside raw data.
bool pe_rva(const PeView& view, uint32_t rva, uint64_t size, uint64_t* offset) {
  const std::vector<unsigned char>& image = *view.image;
  for (uint32_t i = 0; i < view.section_count; i++) {
    uint64_t s = pe_section_header(view, i);
    uint32_t va = pe_u32(image, s + PE_SECTION_VIRTUAL_ADDRESS);
    uint32_t raw_size = pe_u32(image, s + PE_SECTION_RAW_SIZE);
    uint32_t raw = pe_u32(image, s + PE_SECTION_RAW_OFFSET);
    if (rva >= va && rva - va < raw_size) {
      uint64_t within = rva - va;
      if (size > raw_size - within) return false;
      *offset = static_cast<uint64_t>(raw) + within;
      return pe_in(image, *offset, size);
    }
  }
  return false;
}

// The NUL-terminated name at `rva`, at most 4096 bytes; false when it does not lie in the
// image's raw data.
bool pe_string(const PeView& view, uint32_t rva, std::string* out) {
  uint64_t offset;
  if (!pe_rva(view, rva, 1, &offset)) return false;
  const std::vector<unsigned char>& image = *view.image;
  out->clear();
  for (uint64_t at = offset; at < image.size() && out->size() < 4096; at++) {
    if (image[at] == 0) return true;
    out->push_back(static_cast<char>(image[at]));
  }
  return false;
}

// "i386 (32-bit x86)", "arm64", ...: what a PE machine field names.
std::string pe_machine_name(uint32_t machine) {
  switch (machine) {
    case 0x14C: return "i386 (32-bit x86)";
    case 0xAA64: return "arm64";
    case 0x1C0: return "arm (32-bit)";
    case 0x1C4: return "arm (32-bit Thumb-2)";
    case 0x200: return "ia64 (Itanium)";
    default: {
      char text[32];
      std::snprintf(text, sizeof text, "machine 0x%04X", machine);
      return text;
    }
  }
}

// A C++ compiler's name for the function `symbol` (GCC and Clang's "_Z<length><symbol>...",
// MSVC's "?<symbol>@...").
bool pe_is_mangled(const std::string& name, const std::string& symbol) {
  std::string itanium = "_Z" + std::to_string(symbol.size()) + symbol;
  std::string msvc = "?" + symbol + "@";
  return name.compare(0, itanium.size(), itanium) == 0 || name.compare(0, msvc.size(), msvc) == 0;
}

// Appends the imports of the descriptor table in directory `index` (descriptors of
// `descriptor_bytes` bytes, the DLL name's RVA at `name_field`, the name table's at
// `table_field`) to `imports`.
void pe_import_table(const PeView& view, uint32_t index, uint64_t descriptor_bytes,
                     uint64_t name_field, uint64_t table_field, std::vector<PeImport>* imports) {
  const std::vector<unsigned char>& image = *view.image;
  if (pe_directory_count(view) <= index ||
      view.optional_size < PE_OPT_DIRECTORIES - view.shift + PE_DIRECTORY_BYTES * (index + 1)) {
    return;
  }
  // Name table entries: 8 bytes in PE32+, 4 in PE32, the top bit marking an ordinal.
  const uint32_t entry_bytes = view.shift != 0 ? 4 : 8;
  uint32_t rva = pe_u32(image, pe_directory(view, index));
  if (rva == 0) return;
  for (uint32_t i = 0; i < 65536; i++) {
    uint64_t descriptor;
    if (!pe_rva(view, rva + static_cast<uint32_t>(descriptor_bytes * i), descriptor_bytes,
                &descriptor)) {
      return;
    }
    uint32_t name_rva = pe_u32(image, descriptor + name_field);
    if (name_rva == 0) return;
    PeImport import;
    if (!pe_string(view, name_rva, &import.dll)) return;
    // The name table: entries up to a zero one, each an ordinal (top bit set) or the RVA of
    // a 2-byte hint and the function's name.
    uint32_t table = pe_u32(image, descriptor + table_field);
    for (uint32_t k = 0; table != 0 && k < 65536; k++) {
      uint64_t entry;
      if (!pe_rva(view, table + entry_bytes * k, entry_bytes, &entry)) break;
      uint64_t value = entry_bytes == 8 ? le_read_u64(&image[entry]) : le_read_u32(&image[entry]);
      if (value == 0) break;
      std::string function;
      if (!(value >> (8 * entry_bytes - 1)) &&
          pe_string(view, static_cast<uint32_t>(value) + 2, &function)) {
        import.functions.push_back(function);
      }
    }
    imports->push_back(import);
  }
}

enum class PeExports { none, damaged, read };

// Reads the names of the export table into `names` (those whose name lies in the image).
PeExports pe_read_exports(const PeView& view, std::vector<std::string>* names) {
  const std::vector<unsigned char>& image = *view.image;
  uint64_t export_entry = pe_directory(view, PE_DIRECTORY_EXPORT);
  uint32_t directories = pe_directory_count(view);
  uint32_t export_rva = pe_u32(image, export_entry);
  uint32_t export_size = pe_u32(image, export_entry + 4);
  uint64_t directory;
  if (directories <= PE_DIRECTORY_EXPORT || export_rva == 0 || export_size == 0 ||
      !pe_rva(view, export_rva, PE_EXPORT_DIRECTORY_BYTES, &directory)) {
    return PeExports::none;
  }
  uint32_t name_count = pe_u32(image, directory + PE_EXPORT_NAME_COUNT);
  uint64_t table;
  if (name_count > 0 &&
      !pe_rva(view, pe_u32(image, directory + PE_EXPORT_NAMES), 4ull * name_count, &table)) {
    return PeExports::damaged;
  }
  for (uint32_t i = 0; i < name_count; i++) {
    std::string name;
    if (pe_string(view, pe_u32(image, table + 4ull * i), &name)) names->push_back(name);
  }
  return PeExports::read;
}

bool pe_section_named(const std::vector<unsigned char>& image, uint64_t header,
                      const std::string& padded) {
  return std::memcmp(&image[header], padded.data(), PE_SECTION_NAME_BYTES) == 0;
}

}  // namespace

std::string pe_section_name(const char* name) {
  std::string padded(PE_SECTION_NAME_BYTES, '\0');
  std::memcpy(&padded[0], name, std::min<size_t>(std::strlen(name), PE_SECTION_NAME_BYTES));
  return padded;
}

bool pe_is_pe(const std::vector<unsigned char>& image) {
  PeView view;
  return pe_view(image, &view);
}

std::string pe_dll_problem(const std::vector<unsigned char>& image, uint32_t program_machine) {
  PeView view;
  if (!pe_view(image, &view)) return "is not a PE file";
  uint32_t machine = pe_u16(image, view.coff + PE_COFF_MACHINE);
  if (program_machine == PE_MACHINE_I386) {
    if (machine != PE_MACHINE_I386) {
      std::string built = machine == PE_MACHINE_AMD64 ? "x86-64" : pe_machine_name(machine);
      return "is built for " + built + ", not i386 as the main program is: "
             "an i386 program loads only i386 DLLs";
    }
    if (!pe_is_i386(view, PE_DIRECTORY_EXPORT + 1)) return "is not a 32-bit (i386) PE image";
    if (!pe_is_dll(view)) return "is not a DLL";
    return pe_cut_short(image, image.size());
  }
  if (machine != PE_MACHINE_AMD64) {
    return "is built for " + pe_machine_name(machine) + ", not x86-64: the launcher is a 64-bit "
           "x86-64 program and loads only x86-64 DLLs";
  }
  if (!pe_is_amd64(view, PE_DIRECTORY_EXPORT + 1)) return "is not a 64-bit (x86-64) PE image";
  if (!pe_is_dll(view)) return "is not a DLL";
  return pe_cut_short(image, image.size());
}

std::string pe_cut_short(const std::vector<unsigned char>& head, uint64_t file_size) {
  PeView view;
  if (!pe_view(head, &view)) return "";
  for (uint32_t i = 0; i < view.section_count; i++) {
    uint64_t s = pe_section_header(view, i);
    uint64_t offset = pe_u32(head, s + PE_SECTION_RAW_OFFSET);
    uint64_t size = pe_u32(head, s + PE_SECTION_RAW_SIZE);
    if (offset > file_size || size > file_size - offset) {
      std::string name(reinterpret_cast<const char*>(&head[s]), PE_SECTION_NAME_BYTES);
      name.resize(std::strlen(name.c_str()));
      return "is cut short: its section '" + name + "' ends past the end of the file";
    }
  }
  return "";
}

void pe_check_dll_export(const std::vector<unsigned char>& image, const char* symbol,
                         const std::string& subject, const std::string& absent_hint) {
  auto fail = [&](const std::string& reason) { throw PackError(subject + " " + reason); };
  std::string problem = pe_dll_problem(image);
  if (!problem.empty()) fail(problem);
  PeView view;
  pe_view(image, &view);
  std::vector<std::string> names;
  PeExports exports = pe_read_exports(view, &names);
  if (exports == PeExports::none) {
    fail(std::string("does not export '") + symbol + "' (it has no export table)" + absent_hint);
  }
  if (exports == PeExports::damaged) fail("has a damaged export table");
  std::string mangled;
  for (const std::string& name : names) {
    if (name == symbol) return;
    if (mangled.empty() && pe_is_mangled(name, symbol)) mangled = name;
  }
  // The right signature mangled means C++ linkage: zobrin/app.h (whose declaration gives the
  // definition C linkage) was not included. Any other parameter list is a wrong signature,
  // with the header or without.
  if (mangled == "_Z8run_codeiPPwPKw" || mangled == "?run_code@@YAHHPEAPEA_WPEB_W@Z") {
    fail(std::string("has ") + symbol + " exported as `" + mangled +
         "`: declare it extern \"C\" (see zobrin/app.h)");
  }
  if (!mangled.empty()) {
    fail(std::string("has ") + symbol + " exported as `" + mangled +
         "`, a C++ function with other parameters: define it as int run_code(int argc, "
         "wchar_t** argv, const wchar_t* dll_path) (see zobrin/app.h)");
  }
  fail(std::string("does not export '") + symbol + "'" + absent_hint);
}

PeMainKind pe_main_kind(const std::vector<unsigned char>& image) {
  PeMainKind kind;
  PeView view;
  if (!pe_view(image, &view)) return kind;
  kind.machine = pe_u16(image, view.coff + PE_COFF_MACHINE);
  if (pe_is_dll(view)) {
    kind.kind = PeMainKind::dll;
    return kind;
  }
  kind.kind = PeMainKind::program;
  if (view.optional_size >= PE_OPT_SUBSYSTEM + 2 &&
      pe_in(image, view.optional, PE_OPT_SUBSYSTEM + 2)) {
    kind.subsystem = pe_u16(image, view.optional + PE_OPT_SUBSYSTEM);
  }
  return kind;
}

std::string pe_main_kind_text(const PeMainKind& kind) {
  if (kind.kind == PeMainKind::not_pe) return "not a PE image";
  std::string machine = kind.machine == PE_MACHINE_AMD64  ? "x86-64"
                        : kind.machine == PE_MACHINE_I386 ? "i386"
                                                          : pe_machine_name(kind.machine);
  if (kind.kind == PeMainKind::dll) return "DLL (" + machine + ")";
  std::string subsystem = kind.subsystem == PE_SUBSYSTEM_CONSOLE ? "console"
                          : kind.subsystem == PE_SUBSYSTEM_GUI
                              ? "windowed"
                              : "subsystem " + std::to_string(kind.subsystem);
  return "program (" + subsystem + ", " + machine + ")";
}

PeMainKind pe_check_program(const std::vector<unsigned char>& image, const std::string& subject,
                            uint64_t file_size) {
  auto fail = [&](const std::string& reason) { throw PackError(subject + " " + reason); };
  PeView view;
  if (!pe_view(image, &view)) fail("is not a PE file");
  if (pe_is_dll(view)) {
    fail("is a DLL, not a program: a main DLL is named NAME.dll and exports run_code");
  }
  uint32_t machine = pe_u16(image, view.coff + PE_COFF_MACHINE);
  if (machine != PE_MACHINE_AMD64 && machine != PE_MACHINE_I386) {
    fail("is built for " + pe_machine_name(machine) + ", not x86-64 or i386: the launcher is an "
         "x86-64 program and starts only x86-64 programs and i386 ones (under WoW64)");
  }
  uint32_t magic = machine == PE_MACHINE_AMD64 ? PE_OPT_MAGIC_PE32_PLUS : PE_OPT_MAGIC_PE32;
  if (view.optional_size < PE_OPT_SUBSYSTEM + 2 ||
      !pe_in(image, view.optional, PE_OPT_SUBSYSTEM + 2) ||
      pe_u16(image, view.optional + PE_OPT_MAGIC) != magic) {
    fail(std::string("is not a ") +
         (machine == PE_MACHINE_AMD64 ? "64-bit (x86-64)" : "32-bit (i386)") + " PE image");
  }
  PeMainKind kind = pe_main_kind(image);
  if (kind.subsystem != PE_SUBSYSTEM_CONSOLE && kind.subsystem != PE_SUBSYSTEM_GUI) {
    fail("is not a console or windowed Windows program (its subsystem is " +
         std::to_string(kind.subsystem) + ")");
  }
  std::string cut = pe_cut_short(image, file_size == PE_WHOLE_IMAGE ? image.size() : file_size);
  if (!cut.empty()) fail(cut);
  return kind;
}

std::vector<std::string> pe_export_names(const std::vector<unsigned char>& image) {
  std::vector<std::string> names;
  PeView view;
  if (pe_view(image, &view) &&
      (pe_is_amd64(view, PE_DIRECTORY_EXPORT + 1) || pe_is_i386(view, PE_DIRECTORY_EXPORT + 1))) {
    pe_read_exports(view, &names);
  }
  return names;
}

std::vector<PeImport> pe_imports(const std::vector<unsigned char>& image) {
  std::vector<PeImport> imports;
  PeView view;
  if (!pe_view(image, &view) || !(pe_is_amd64(view, 0) || pe_is_i386(view, 0))) return imports;
  pe_import_table(view, PE_DIRECTORY_IMPORT, PE_IMPORT_DESCRIPTOR_BYTES, PE_IMPORT_NAME,
                  PE_IMPORT_NAME_TABLE, &imports);
  pe_import_table(view, PE_DIRECTORY_DELAY_IMPORT, PE_DELAY_IMPORT_DESCRIPTOR_BYTES,
                  PE_DELAY_IMPORT_NAME, PE_DELAY_IMPORT_NAME_TABLE, &imports);
  return imports;
}

std::optional<PeSection> pe_find_section(const std::vector<unsigned char>& image,
                                         const char* name) {
  PeView view;
  if (!pe_view(image, &view)) return std::nullopt;
  const std::string wanted = pe_section_name(name);
  for (uint32_t i = 0; i < view.section_count; i++) {
    uint64_t s = pe_section_header(view, i);
    if (!pe_section_named(image, s, wanted)) continue;
    return PeSection{pe_u32(image, s + PE_SECTION_RAW_OFFSET),
                     pe_u32(image, s + PE_SECTION_RAW_SIZE)};
  }
  return std::nullopt;
}

PePayloadSlot pe_payload_slot(const std::vector<unsigned char>& image, const std::string& subject) {
  auto fail = [&](const std::string& reason) { throw PackError(subject + ": " + reason); };
  PeView view;
  if (!pe_view(image, &view)) fail("not a PE file");
  if (!pe_is_amd64(view, PE_DIRECTORY_CERTIFICATE + 1)) fail("not a 64-bit (x86-64) PE image");
  if (pe_is_dll(view) || view.section_count == 0) fail("not an executable");
  if (view.optional % 8 != 0) fail("its headers are not aligned as a PE image's");
  uint64_t last = pe_section_header(view, view.section_count - 1);
  if (!pe_section_named(image, last, pe_section_name(PE_PAYLOAD_SECTION))) {
    fail(std::string("its last section is not '") + PE_PAYLOAD_SECTION + "'");
  }
  PePayloadSlot slot;
  slot.optional = view.optional;
  slot.header = last;
  slot.virtual_address = pe_u32(image, last + PE_SECTION_VIRTUAL_ADDRESS);
  slot.raw_size = pe_u32(image, last + PE_SECTION_RAW_SIZE);
  slot.raw_offset = pe_u32(image, last + PE_SECTION_RAW_OFFSET);
  slot.file_alignment = pe_u32(image, view.optional + PE_OPT_FILE_ALIGNMENT);
  slot.section_alignment = pe_u32(image, view.optional + PE_OPT_SECTION_ALIGNMENT);
  uint32_t fa = slot.file_alignment;
  if (fa < 512 || fa > 65536 || (fa & (fa - 1)) != 0 || slot.section_alignment < fa ||
      slot.raw_offset % fa != 0) {
    fail("its alignments are not those of a PE image");
  }
  for (uint32_t i = 0; i + 1 < view.section_count; i++) {
    uint64_t s = pe_section_header(view, i);
    uint64_t end_va = static_cast<uint64_t>(pe_u32(image, s + PE_SECTION_VIRTUAL_ADDRESS)) +
                      pe_u32(image, s + PE_SECTION_VIRTUAL_SIZE);
    uint64_t end_raw = static_cast<uint64_t>(pe_u32(image, s + PE_SECTION_RAW_OFFSET)) +
                       pe_u32(image, s + PE_SECTION_RAW_SIZE);
    if (end_va > slot.virtual_address || end_raw > slot.raw_offset) {
      fail(std::string("section '") + PE_PAYLOAD_SECTION + "' is not last in memory and file");
    }
  }
  if (slot.raw_size < PE_PAYLOAD_OFFSET ||
      slot.raw_offset + slot.raw_size != static_cast<uint64_t>(image.size())) {
    fail(std::string("section '") + PE_PAYLOAD_SECTION + "' does not end the file");
  }
  // A signature (the certificate directory) covers the file by offset and would be broken.
  uint32_t directories = pe_u32(image, view.optional + PE_OPT_DIRECTORY_COUNT);
  if (directories > PE_DIRECTORY_CERTIFICATE &&
      pe_u32(image, pe_directory(view, PE_DIRECTORY_CERTIFICATE) + 4) != 0) {
    fail("it is signed");
  }
  return slot;
}
