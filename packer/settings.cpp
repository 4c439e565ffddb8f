#include "packer/settings.h"

#include <cctype>
#include <cstring>

#include "base/little_endian.h"
#include "base/payload_format.h"
#include <zstd.h>

#include <vector>

#include "packer/manifest.h"
#include "packer/pack_error.h"
#include "packer/splash_image.h"
#include "packer/payload_read.h"
#include "packer/utf.h"

namespace {

const char* const EXTRACT_TO_NAMES[] = {"TEMP", "CACHE_DIR", "HOME", "EXE_DIR"};

// `name` is one of EXTRACT_TO_NAMES, in any case (as the launcher's expander takes them).
bool settings_known_variable(const std::string& name) {
  for (const char* known : EXTRACT_TO_NAMES) {
    if (name.size() != std::strlen(known)) continue;
    bool same = true;
    for (size_t i = 0; i < name.size() && same; i++) {
      char c = name[i];
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      same = c == known[i];
    }
    if (same) return true;
  }
  return false;
}

void settings_append_record(std::string* block, uint32_t kind, const std::string& value) {
  unsigned char head[ZB_SETTING_HEAD_BYTES];
  le_write_u32(head, kind);
  le_write_u32(head + 4, static_cast<uint32_t>(value.size()));
  block->append(reinterpret_cast<const char*>(head), sizeof head);
  block->append(value);
  block->append((8 - value.size() % 8) % 8, '\0');
}

}  // namespace

std::string settings_check_extract_to(const std::string& text) {
  const std::string option = "--extract-to '" + text + "'";
  std::u16string units;
  if (!utf_8_to_16(text, &units)) return "--extract-to is not UTF-8";
  if (units.empty()) return "--extract-to needs a folder";
  if (units.size() > ZB_EXTRACT_TO_MAX_UNITS) {
    return "--extract-to is longer than " + std::to_string(ZB_EXTRACT_TO_MAX_UNITS) +
           " UTF-16 units";
  }
  for (size_t at = 0; at < text.size(); at++) {
    unsigned char c = static_cast<unsigned char>(text[at]);
    if (c < 0x20 || std::strchr("*?\"<>|", c) != nullptr) {
      return option + " holds a character Windows does not allow in a path";
    }
    if (c == '}') return option + " has a '}' without its '{'";
    if (c != '{') continue;
    size_t close = text.find('}', at);
    if (close == std::string::npos) return option + " has a '{' without its '}'";
    std::string name = text.substr(at + 1, close - at - 1);
    if (!settings_known_variable(name)) {
      return option + " names '{" + name + "}'; it may name " + SETTINGS_EXTRACT_TO_VARIABLES;
    }
    at = close;
  }
  bool drive = text.size() >= 3 && std::isalpha(static_cast<unsigned char>(text[0])) &&
               text[1] == ':' && text[2] == '\\';
  bool unc = text.size() >= 3 && text[0] == '\\' && text[1] == '\\';
  if (!drive && !unc && text[0] != '{') {
    return option + " is not absolute: start it with " + SETTINGS_EXTRACT_TO_VARIABLES +
           ", a drive (C:\\) or \\\\server";
  }
  return "";
}

std::string settings_block(const Settings& settings) {
  std::string records;
  if (!settings.extract_to.empty()) {
    std::u16string units;
    utf_8_to_16(settings.extract_to, &units);
    std::string value;
    for (char16_t unit : units) {
      value.push_back(static_cast<char>(unit & 0xFF));
      value.push_back(static_cast<char>(unit >> 8));
    }
    settings_append_record(&records, ZB_SETTING_EXTRACT_TO, value);
  }
  if (!settings.splash.empty()) settings_append_record(&records, ZB_SETTING_SPLASH, settings.splash);
  if (!settings.execution_level.empty()) {
    settings_append_record(&records, ZB_SETTING_EXECUTION_LEVEL, settings.execution_level);
  }
  if (records.empty()) return "";
  unsigned char length[ZB_SETTINGS_LENGTH_BYTES];
  le_write_u64(length, records.size());
  return std::string(reinterpret_cast<const char*>(length), sizeof length) + records;
}

std::string settings_locate(const PayloadArray& array, uint64_t digests_bytes,
                            const std::string& subject) {
  const std::string past = subject + ": the settings after the payload run past its section";
  if (digests_bytes > array.after || array.after - digests_bytes < ZB_SETTINGS_LENGTH_BYTES) {
    throw PackError(past);
  }
  const unsigned char* start = array.data + array.length + digests_bytes;
  uint64_t records = le_read_u64(start);
  if (records > array.after - digests_bytes - ZB_SETTINGS_LENGTH_BYTES) throw PackError(past);
  if (!payload_settings_find(start + ZB_SETTINGS_LENGTH_BYTES, records, 0, nullptr, nullptr)) {
    throw PackError(subject + ": the settings after the payload are malformed (a record runs "
                    "past them, or a kind is unknown or repeated)");
  }
  return std::string(reinterpret_cast<const char*>(start),
                     static_cast<size_t>(ZB_SETTINGS_LENGTH_BYTES + records));
}

Settings settings_read(const std::string& block, const std::string& subject) {
  const unsigned char* records =
      reinterpret_cast<const unsigned char*>(block.data()) + ZB_SETTINGS_LENGTH_BYTES;
  uint64_t size = block.size() - ZB_SETTINGS_LENGTH_BYTES;
  Settings settings;
  const unsigned char* value = nullptr;
  uint32_t length = 0;
  if (payload_settings_find(records, size, ZB_SETTING_EXTRACT_TO, &value, &length) && value) {
    std::u16string units;
    for (uint32_t i = 0; i + 1 < length; i += 2) {
      units.push_back(static_cast<char16_t>(le_read_u16(value + i)));
    }
    settings.extract_to = utf_16_to_8(units);
    std::string reason = length % 2 != 0 ? "its length is odd"
                                          : settings_check_extract_to(settings.extract_to);
    if (!reason.empty()) {
      throw PackError(subject + ": the extraction folder recorded beside the payload cannot be "
                      "used (" + reason + ")");
    }
  }
  value = nullptr;
  if (payload_settings_find(records, size, ZB_SETTING_SPLASH, &value, &length) && value) {
    settings.splash.assign(reinterpret_cast<const char*>(value), length);
    // What the launcher checks before it shows it: a size within the limits and a frame that
    // decodes to exactly its pixels.
    uint64_t width = length >= 8 ? le_read_u32(value) : 0;
    uint64_t height = length >= 8 ? le_read_u32(value + 4) : 0;
    bool whole = width >= 1 && height >= 1 && width <= ZB_SPLASH_MAX_SIDE && height <= ZB_SPLASH_MAX_SIDE;
    if (whole) {
      std::vector<unsigned char> pixels(static_cast<size_t>(width * height * 4) + 1);
      size_t got = ZSTD_decompress(pixels.data(), pixels.size(), value + 8, length - 8);
      whole = !ZSTD_isError(got) && got == width * height * 4;
    }
    if (!whole) {
      throw PackError(subject + ": the splash image recorded beside the payload is damaged");
    }
  }
  value = nullptr;
  if (payload_settings_find(records, size, ZB_SETTING_EXECUTION_LEVEL, &value, &length) && value) {
    settings.execution_level.assign(reinterpret_cast<const char*>(value), length);
    if (!manifest_level_known(settings.execution_level) ||
        settings.execution_level == MANIFEST_AS_INVOKER) {
      throw PackError(subject + ": the execution level recorded beside the payload is not "
                      "highestAvailable or requireAdministrator");
    }
  }
  return settings;
}
