#include "packer/version_info.h"

#include <utility>
#include <vector>

#include "format/little_endian.h"
#include "packer/byte_string.h"
#include "packer/pack_error.h"
#include "packer/utf.h"

namespace {

// VS_FIXEDFILEINFO: signature, structure version 1.0, versions, flags mask, flags, OS
// (VOS_NT_WINDOWS32), type (VFT_APP), subtype, date.
constexpr uint32_t VERSION_SIGNATURE = 0xFEEF04BD;
constexpr uint32_t VERSION_STRUCTURE = 0x00010000;
constexpr uint32_t VERSION_FLAGS_MASK = 0x3F;
constexpr uint32_t VERSION_OS_NT_WINDOWS32 = 0x00040004;
constexpr uint32_t VERSION_TYPE_APP = 1;
constexpr uint32_t VERSION_FIXED_BYTES = 52;
// Block types: binary (0) or text (1).
constexpr uint32_t VERSION_BINARY = 0;
constexpr uint32_t VERSION_TEXT = 1;
// English (United States) in the Unicode code page (1200): "040904B0".
constexpr uint32_t VERSION_TRANSLATION = 0x04B00409;

// Parses one to four dot-separated numbers 0..65535 into `parts` (the rest 0).
bool version_numbers(const std::string& text, uint32_t parts[4]) {
  int count = 0;
  size_t at = 0;
  for (int i = 0; i < 4; i++) parts[i] = 0;
  while (true) {
    if (count == 4) return false;
    size_t digits = 0;
    uint32_t value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 6) {
      value = value * 10 + static_cast<uint32_t>(text[at] - '0');
      at++;
      digits++;
    }
    if (digits == 0 || value > 0xFFFF) return false;
    parts[count++] = value;
    if (at == text.size()) return true;
    if (text[at] != '.') return false;
    at++;
  }
}

void version_pad(std::string* out) { out->append((4 - out->size() % 4) % 4, '\0'); }

std::u16string version_units(const std::string& text) {
  std::u16string units;
  utf_8_to_16(text, &units);
  return units;
}

// A block: length, value length, type, key, the value and the children, each 4-byte aligned.
std::string version_block(const std::u16string& key, const std::string& value,
                          uint32_t value_length, uint32_t type,
                          const std::vector<std::string>& children) {
  std::string out;
  append_le(&out, 0, 2);
  append_le(&out, value_length, 2);
  append_le(&out, type, 2);
  append_utf16z(&out, key);
  version_pad(&out);
  out += value;
  for (const std::string& child : children) {
    version_pad(&out);
    out += child;
  }
  if (out.size() > 0xFFFF) throw PackError("the version information is too large");
  le_write_u16(reinterpret_cast<unsigned char*>(&out[0]), static_cast<uint16_t>(out.size()));
  return out;
}

std::string version_string(const char16_t* key, const std::u16string& text) {
  std::string value;
  append_utf16z(&value, text);
  return version_block(key, value, static_cast<uint32_t>(text.size() + 1), VERSION_TEXT, {});
}

}  // namespace

bool version_any(const VersionFields& f) {
  return !(f.product.empty() && f.company.empty() && f.file_version.empty() &&
           f.description.empty() && f.copyright.empty());
}

std::string version_check(const VersionFields& f) {
  uint32_t parts[4];
  if (!f.file_version.empty() && !version_numbers(f.file_version, parts)) {
    return "--file-version takes one to four numbers from 0 to 65535, as 1.2.3.4, not '" +
           f.file_version + "'";
  }
  const std::pair<const char*, const std::string*> texts[] = {
      {"--product", &f.product}, {"--company", &f.company}, {"--description", &f.description},
      {"--copyright", &f.copyright}};
  for (const auto& text : texts) {
    std::u16string units;
    if (!utf_8_to_16(*text.second, &units)) return std::string(text.first) + " is not valid UTF-8";
    if (units.size() > VERSION_TEXT_MAX_UNITS) {
      return std::string(text.first) + " is longer than " +
             std::to_string(VERSION_TEXT_MAX_UNITS) + " UTF-16 units";
    }
  }
  return "";
}

std::string version_resource(const VersionFields& f, const std::string& original_name) {
  uint32_t parts[4] = {0, 0, 0, 0};
  if (!f.file_version.empty()) version_numbers(f.file_version, parts);
  const uint32_t high = parts[0] << 16 | parts[1];
  const uint32_t low = parts[2] << 16 | parts[3];
  std::string fixed;
  for (uint32_t field : {VERSION_SIGNATURE, VERSION_STRUCTURE, high, low, high, low,
                         VERSION_FLAGS_MASK, 0u, VERSION_OS_NT_WINDOWS32, VERSION_TYPE_APP, 0u,
                         0u, 0u}) {
    append_u32(&fixed, field);
  }
  const std::string version = std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." +
                              std::to_string(parts[2]) + "." + std::to_string(parts[3]);
  std::u16string original;
  bool original_ok = utf_8_to_16(original_name, &original) && !original.empty() &&
                     original.size() <= VERSION_TEXT_MAX_UNITS;

  std::vector<std::string> strings;
  auto add = [&](const char16_t* key, const std::string& text) {
    if (!text.empty()) strings.push_back(version_string(key, version_units(text)));
  };
  add(u"CompanyName", f.company);
  add(u"FileDescription", f.description);
  if (!f.file_version.empty()) add(u"FileVersion", version);
  add(u"LegalCopyright", f.copyright);
  if (original_ok) strings.push_back(version_string(u"OriginalFilename", original));
  add(u"ProductName", f.product);
  if (!f.file_version.empty()) add(u"ProductVersion", version);

  std::string translation;
  append_u32(&translation, VERSION_TRANSLATION);
  std::string table = version_block(u"040904B0", "", 0, VERSION_TEXT, strings);
  std::string string_info = version_block(u"StringFileInfo", "", 0, VERSION_TEXT, {table});
  std::string var = version_block(u"Translation", translation, 4, VERSION_BINARY, {});
  std::string var_info = version_block(u"VarFileInfo", "", 0, VERSION_TEXT, {var});
  return version_block(u"VS_VERSION_INFO", fixed, VERSION_FIXED_BYTES, VERSION_BINARY,
                       {string_info, var_info});
}
