#include "packer/ico_file.h"

#include <cstring>

#include "format/little_endian.h"
#include "packer/byte_string.h"
#include "packer/pack_error.h"

namespace {

// ICONDIR: reserved (0), type (1 for icons), image count; then 16-byte entries: width, height,
// colour count, reserved, planes, bits per pixel, image size, image offset.
constexpr uint64_t ICO_HEADER_BYTES = 6;
constexpr uint64_t ICO_ENTRY_BYTES = 16;
constexpr uint64_t ICO_ENTRY_SIZE = 8;
constexpr uint64_t ICO_ENTRY_OFFSET = 12;
constexpr uint32_t ICO_TYPE_ICON = 1;
// The group resource repeats the first 12 bytes of each entry with the image's resource id.
constexpr uint64_t ICO_ENTRY_SHARED_BYTES = 12;
const unsigned char ICO_PNG_SIGNATURE[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// True for image bytes that start as a PNG or as a bitmap information header (40, 108 or
// 124 bytes, as icons carry them).
bool ico_image_known(const unsigned char* image, uint64_t size) {
  if (size >= sizeof ICO_PNG_SIGNATURE &&
      std::memcmp(image, ICO_PNG_SIGNATURE, sizeof ICO_PNG_SIGNATURE) == 0) {
    return true;
  }
  if (size < 4) return false;
  uint32_t header = le_read_u32(image);
  return (header == 40 || header == 108 || header == 124) && header <= size;
}

}  // namespace

std::vector<Resource> ico_resources(const std::vector<unsigned char>& file, const std::string& subject,
                                    uint32_t language) {
  auto fail = [&](const std::string& reason) { throw PackError(subject + " " + reason); };
  const uint64_t size = file.size();
  if (size < ICO_HEADER_BYTES || le_read_u16(&file[0]) != 0 ||
      le_read_u16(&file[2]) != ICO_TYPE_ICON) {
    fail("is not an icon file (.ico)");
  }
  uint32_t count = le_read_u16(&file[4]);
  if (count == 0) fail("holds no image");
  if (size - ICO_HEADER_BYTES < ICO_ENTRY_BYTES * count) {
    fail("is cut short: its " + std::to_string(count) + " image entries do not fit in it");
  }
  std::vector<Resource> out;
  Resource group;
  group.type.id = RES_TYPE_GROUP_ICON;
  group.name.id = 1;
  group.language = language;
  group.data.assign(reinterpret_cast<const char*>(file.data()), ICO_HEADER_BYTES);
  for (uint32_t i = 0; i < count; i++) {
    const unsigned char* entry = &file[ICO_HEADER_BYTES + ICO_ENTRY_BYTES * i];
    uint64_t image_size = le_read_u32(entry + ICO_ENTRY_SIZE);
    uint64_t offset = le_read_u32(entry + ICO_ENTRY_OFFSET);
    const std::string which = "image " + std::to_string(i + 1) + " of " + std::to_string(count);
    if (image_size == 0 || offset > size || image_size > size - offset) {
      fail("is damaged: " + which + " lies outside the file");
    }
    if (!ico_image_known(&file[offset], image_size)) {
      fail("is damaged: " + which + " is neither a PNG nor a bitmap");
    }
    Resource icon;
    icon.type.id = RES_TYPE_ICON;
    icon.name.id = i + 1;
    icon.language = language;
    icon.data.assign(reinterpret_cast<const char*>(&file[offset]), image_size);
    out.push_back(std::move(icon));
    group.data.append(reinterpret_cast<const char*>(entry), ICO_ENTRY_SHARED_BYTES);
    append_le(&group.data, i + 1, 2);
  }
  out.push_back(std::move(group));
  return out;
}
