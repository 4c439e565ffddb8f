#include "tests/host/pe_builder.h"

#include <cstring>
#include <stdexcept>

#include "format/little_endian.h"

namespace {

void put(std::vector<unsigned char>* image, size_t offset, uint64_t value, int bytes) {
  if (image->size() < offset + bytes) image->resize(offset + bytes);
  le_write(image->data() + offset, value, bytes);
}

void put_name(std::vector<unsigned char>* image, size_t offset, const std::string& name) {
  for (size_t i = 0; i < 8; i++) put(image, offset + i, i < name.size() ? name[i] : 0, 1);
}

}  // namespace

std::vector<unsigned char> pe_build(const PeSpec& spec) {
  // The first section takes 0x200 bytes of file, 0x400 when there are imports.
  const bool imports_given = !spec.imports.empty() || !spec.delay_imports.empty();
  const size_t first_size = imports_given ? 0x400 : 0x200;
  const size_t first_end = 0x200 + first_size;
  std::vector<unsigned char> image(first_end, 0);
  image[0] = 'M';
  image[1] = 'Z';
  put(&image, 0x3C, 0x40, 4);
  std::memcpy(&image[0x40], "PE\0\0", 4);
  const size_t coff = 0x44;
  const size_t optional_size = spec.pe32_plus ? 240 : 224;
  const size_t optional = coff + 20;
  const bool extra = !spec.section_data.empty();
  put(&image, coff, spec.machine, 2);
  put(&image, coff + 2, extra ? 2 : 1, 2);
  put(&image, coff + 16, optional_size, 2);
  put(&image, coff + 18, spec.dll ? 0x2022 : 0x0022, 2);
  put(&image, optional, spec.pe32_plus ? 0x20B : 0x10B, 2);
  put(&image, optional + 32, 0x1000, 4);  // SectionAlignment
  put(&image, optional + 36, 0x200, 4);   // FileAlignment
  put(&image, optional + 56, extra ? 0x3000 : 0x2000, 4);  // SizeOfImage
  put(&image, optional + 68, spec.subsystem, 2);
  const size_t directories = optional + (spec.pe32_plus ? 112 : 96);
  put(&image, directories - 4, 16, 4);  // NumberOfRvaAndSizes

  // Section 1 at RVA 0x1000, file offset 0x200: the export directory and its names.
  const size_t sections = optional + optional_size;
  put_name(&image, sections, ".edata");
  put(&image, sections + 8, first_size, 4);
  put(&image, sections + 12, 0x1000, 4);
  put(&image, sections + 16, first_size, 4);
  put(&image, sections + 20, 0x200, 4);
  if (!spec.exports.empty()) {
    put(&image, directories, 0x1000, 4);
    put(&image, directories + 4, 0x100, 4);
    put(&image, 0x200 + 24, spec.exports.size(), 4);
    put(&image, 0x200 + 32, 0x1040, 4);
    size_t name_rva = 0x1080;
    for (size_t i = 0; i < spec.exports.size(); i++) {
      put(&image, 0x240 + 4 * i, name_rva, 4);
      for (size_t k = 0; k <= spec.exports[i].size(); k++) {
        put(&image, 0x200 + (name_rva - 0x1000) + k,
            k < spec.exports[i].size() ? spec.exports[i][k] : 0, 1);
      }
      name_rva += spec.exports[i].size() + 1;
    }
  }
  // Import and delay-load descriptors from file offset 0x300 (RVA 0x1100), the names after
  // them, all within the first section.
  const size_t imports = 0x300;
  const size_t delay = imports + 20 * (spec.imports.size() + 1);
  size_t name = delay + 32 * (spec.delay_imports.size() + 1);
  auto put_string = [&](const std::string& text) {
    if (name + text.size() + 1 > first_end) throw std::length_error("pe_build: imports do not fit");
    size_t rva = 0x1000 + (name - 0x200);
    for (size_t k = 0; k <= text.size(); k++) {
      put(&image, name + k, k < text.size() ? text[k] : 0, 1);
    }
    name += text.size() + 1;
    return rva;
  };
  for (size_t i = 0; i < spec.imports.size(); i++) {
    put(&image, imports + 20 * i + 12, put_string(spec.imports[i]), 4);
  }
  if (!spec.import_functions.empty()) {
    std::vector<size_t> hints;
    for (const std::string& function : spec.import_functions) {
      hints.push_back(put_string(std::string(2, ' ') + function));  // the hint's 2 bytes
      put(&image, 0x200 + (hints.back() - 0x1000), 0, 2);
    }
    name = (name + 7) / 8 * 8;
    if (name + 8 * (hints.size() + 1) > first_end) throw std::length_error("pe_build: too many");
    put(&image, imports, 0x1000 + (name - 0x200), 4);
    for (size_t hint : hints) {
      put(&image, name, hint, 8);
      name += 8;
    }
    name += 8;
  }
  for (size_t i = 0; i < spec.delay_imports.size(); i++) {
    put(&image, delay + 32 * i, 1, 4);  // attributes: RVAs
    put(&image, delay + 32 * i + 4, put_string(spec.delay_imports[i]), 4);
  }
  if (!spec.imports.empty()) {
    put(&image, directories + 8, 0x1000 + (imports - 0x200), 4);
    put(&image, directories + 12, 20 * (spec.imports.size() + 1), 4);
  }
  if (!spec.delay_imports.empty()) {
    put(&image, directories + 13 * 8, 0x1000 + (delay - 0x200), 4);
    put(&image, directories + 13 * 8 + 4, 32 * (spec.delay_imports.size() + 1), 4);
  }
  if (extra) {
    size_t s = sections + 40;
    size_t raw = (spec.section_data.size() + 0x1FF) / 0x200 * 0x200;
    put_name(&image, s, spec.section_name);
    put(&image, s + 8, spec.section_data.size(), 4);
    put(&image, s + 12, 0x2000, 4);
    put(&image, s + 16, raw, 4);
    put(&image, s + 20, first_end, 4);
    image.resize(first_end + raw, 0);
    std::memcpy(&image[first_end], spec.section_data.data(), spec.section_data.size());
  }
  return image;
}
