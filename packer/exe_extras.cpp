#include "packer/exe_extras.h"

#include <algorithm>

#include "format/little_endian.h"
#include "packer/byte_string.h"
#include "packer/file_io.h"
#include "packer/ico_file.h"
#include "packer/manifest.h"
#include "packer/pack_error.h"

namespace {

constexpr uint32_t PE_DIRECTORY_RESOURCE = 2;
// Initialised data, readable: what a linker gives a resource section.
constexpr uint32_t PE_RESOURCE_CHARACTERISTICS = 0x40000040;

uint64_t extras_align(uint64_t value, uint32_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

void extras_patch(OutputFile& out, uint64_t offset, uint64_t value, int bytes) {
  unsigned char field[8];
  le_write(field, value, bytes);
  out.patch(offset, field, static_cast<size_t>(bytes));
}

bool extras_same_key(const ResKey& key, uint32_t id) { return key.name.empty() && key.id == id; }

}  // namespace

ExeExtras exe_extras_prepare(const std::vector<unsigned char>& launcher, const PePayloadSlot& slot,
                             const ExeOptions& options, const std::string& output_name,
                             const std::string& subject) {
  ExeExtras extras;
  extras.console = options.console;
  const bool version = version_any(options.version);
  const bool level = !options.execution_level.empty();
  if (options.icon.empty() && !version && !level) return extras;

  std::vector<Resource> added;
  if (!options.icon.empty()) {
    added = ico_resources(read_whole_file(options.icon), "icon " + quote_path(options.icon),
                          RES_LANGUAGE_EN_US);
  }
  if (version) {
    Resource info;
    info.type.id = RES_TYPE_VERSION;
    info.name.id = 1;
    info.language = RES_LANGUAGE_EN_US;
    info.data = version_resource(options.version, output_name);
    added.push_back(std::move(info));
  }

  PeHeaders headers;
  if (!pe_headers(launcher, &headers) || headers.directory_count <= PE_DIRECTORY_RESOURCE) {
    throw PackError(subject + ": it has no resource directory entry");
  }
  // The launcher's resources, less those the new ones replace (all icons with a new icon), its
  // manifest asking for the execution level when one is given.
  bool manifest = false;
  for (Resource& r : res_read(launcher, subject)) {
    bool icon = extras_same_key(r.type, RES_TYPE_ICON) || extras_same_key(r.type, RES_TYPE_GROUP_ICON);
    if (icon && !options.icon.empty()) continue;
    if (extras_same_key(r.type, RES_TYPE_VERSION) && version) continue;
    if (level && extras_same_key(r.type, RES_TYPE_MANIFEST) && extras_same_key(r.name, 1)) {
      r.data = manifest_set_level(r.data, options.execution_level, subject);
      manifest = true;
    }
    extras.resources.push_back(std::move(r));
  }
  if (level && !manifest) {
    throw PackError(subject + ": it has no manifest to ask for " + options.execution_level);
  }
  for (Resource& r : added) extras.resources.push_back(std::move(r));

  // One more section header must fit in the headers, over bytes nothing uses.
  const uint64_t table_end = headers.sections + PE_SECTION_HEADER_BYTES * headers.section_count;
  uint64_t room = le_read_u32(&launcher[slot.optional + PE_OPT_SIZE_OF_HEADERS]);
  for (uint32_t i = 0; i < headers.section_count; i++) {
    uint64_t s = headers.sections + PE_SECTION_HEADER_BYTES * i;
    uint32_t raw_size = le_read_u32(&launcher[s + PE_SECTION_RAW_SIZE]);
    if (raw_size != 0) room = std::min<uint64_t>(room, le_read_u32(&launcher[s + PE_SECTION_RAW_OFFSET]));
  }
  bool free = table_end + PE_SECTION_HEADER_BYTES <= room &&
              table_end + PE_SECTION_HEADER_BYTES <= launcher.size() &&
              std::all_of(launcher.begin() + static_cast<std::ptrdiff_t>(table_end),
                          launcher.begin() + static_cast<std::ptrdiff_t>(table_end + PE_SECTION_HEADER_BYTES),
                          [](unsigned char c) { return c == 0; });
  if (!free || headers.section_count >= 96) {
    throw PackError(subject + ": its headers have no room for a resource section");
  }
  extras.new_resources = true;
  extras.coff = headers.coff;
  extras.new_header = table_end;
  uint64_t entry = headers.directories + PE_DIRECTORY_BYTES * PE_DIRECTORY_RESOURCE;
  uint32_t old_rva = le_read_u32(&launcher[entry]);
  int old = old_rva == 0 ? -1 : pe_section_at(launcher, headers, old_rva);
  if (old >= 0) {
    uint64_t header = headers.sections + PE_SECTION_HEADER_BYTES * static_cast<uint64_t>(old);
    if (pe_section_name(PE_RESOURCE_SECTION).compare(
            0, PE_SECTION_NAME_BYTES, reinterpret_cast<const char*>(&launcher[header]),
            PE_SECTION_NAME_BYTES) == 0) {
      extras.old_header = header;
    }
  }
  return extras;
}

uint64_t exe_extras_apply(OutputFile& out, const PePayloadSlot& slot, const ExeExtras& extras,
                          uint64_t file_size, uint64_t image_size) {
  if (extras.console) extras_patch(out, slot.optional + PE_OPT_SUBSYSTEM, PE_SUBSYSTEM_CONSOLE, 2);
  if (!extras.new_resources) return file_size;

  const uint32_t rva = static_cast<uint32_t>(image_size);
  const std::string section = res_build(extras.resources, rva);
  const uint64_t raw_size = extras_align(section.size(), slot.file_alignment);
  const uint64_t new_image_size = extras_align(image_size + section.size(), slot.section_alignment);
  if (new_image_size > 0xFFFFFFFFull) {
    throw PackError("the payload and the resources are larger than an executable image can hold (4 GiB)");
  }
  if (out.position() != file_size) throw PackError("the executable's size is not the expected one");
  out.write(section);
  out.write(std::string(static_cast<size_t>(raw_size - section.size()), '\0'));

  std::string header = pe_section_name(PE_RESOURCE_SECTION);
  append_u32(&header, section.size());
  append_u32(&header, rva);
  append_u32(&header, raw_size);
  append_u32(&header, file_size);
  header.append(12, '\0');  // relocations, line numbers and their counts
  append_u32(&header, PE_RESOURCE_CHARACTERISTICS);
  out.patch(extras.new_header, header);
  if (extras.old_header != 0) out.patch(extras.old_header, pe_section_name(PE_OLD_RESOURCE_SECTION));

  unsigned char field[4];
  out.read_back(extras.coff + PE_COFF_SECTION_COUNT, field, 2);
  extras_patch(out, extras.coff + PE_COFF_SECTION_COUNT, le_read_u16(field) + 1u, 2);
  out.read_back(slot.optional + PE_OPT_INITIALIZED_DATA, field, 4);
  uint64_t initialized = std::min<uint64_t>(le_read_u32(field) + raw_size, 0xFFFFFFFFull);
  extras_patch(out, slot.optional + PE_OPT_INITIALIZED_DATA, initialized, 4);
  extras_patch(out, slot.optional + PE_OPT_SIZE_OF_IMAGE, new_image_size, 4);
  uint64_t entry = slot.optional + PE_OPT_DIRECTORIES + PE_DIRECTORY_BYTES * PE_DIRECTORY_RESOURCE;
  extras_patch(out, entry, rva, 4);
  extras_patch(out, entry + 4, section.size(), 4);
  return file_size + raw_size;
}
