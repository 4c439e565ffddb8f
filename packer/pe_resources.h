// An executable's resources as a flat list (type, name, language, bytes), read from an image's
// resource directory and written back as a new resource section. Every read is bounds-checked.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Resource types the packer writes or keeps.
constexpr uint32_t RES_TYPE_ICON = 3;
constexpr uint32_t RES_TYPE_GROUP_ICON = 14;
constexpr uint32_t RES_TYPE_VERSION = 16;
constexpr uint32_t RES_TYPE_MANIFEST = 24;
// English (United States), the language of the resources the packer adds.
constexpr uint32_t RES_LANGUAGE_EN_US = 0x0409;
// The most resources read from one image.
constexpr size_t RES_MAX_COUNT = 4096;

// A type or name: a number, or (when `name` is not empty) a string.
struct ResKey {
  uint32_t id = 0;
  std::u16string name;
};

struct Resource {
  ResKey type;
  ResKey name;
  uint32_t language = 0;
  uint32_t code_page = 0;
  std::string data;
};

// Where an image's headers lie, each checked to be within the image.
struct PeHeaders {
  uint64_t coff = 0;      // COFF file header
  uint64_t optional = 0;  // optional header (with at least the resource directory)
  uint64_t directories = 0;  // its data directories (PE32+ and PE32 place them apart)
  uint64_t sections = 0;  // section table
  uint32_t section_count = 0;
  uint32_t directory_count = 0;
};

// Reads the header positions of a PE image (PE32+ or PE32); false when `image` is not one.
bool pe_headers(const std::vector<unsigned char>& image, PeHeaders* headers);

// The index of the section whose memory holds `rva`; -1 when none.
int pe_section_at(const std::vector<unsigned char>& image, const PeHeaders& headers, uint32_t rva);

// Reads every resource of `image` (a PE image with a section table and data directories).
// An image without a resource directory has none. Throws PackError("<subject>: <reason>")
// for a directory that is damaged or deeper than type/name/language.
std::vector<Resource> res_read(const std::vector<unsigned char>& image, const std::string& subject);

// Writes `resources` as the contents of a resource section placed at `section_rva`: the
// directory tree (named entries first, ordered without regard to the case of ASCII letters
// as the loader searches them, then numbered entries in ascending order), the names, the data entries and the data, each 8-byte aligned.
// Throws PackError for two resources with the same type, name and language.
std::string res_build(const std::vector<Resource>& resources, uint32_t section_rva);
