#include "packer/settings.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "base/limits.h"
#include "format/little_endian.h"
#include "format/payload_format.h"

#include <vector>

#include "packer/codec.h"
#include "packer/manifest.h"
#include "packer/pack_error.h"
#include "packer/splash_image.h"
#include "packer/utf.h"
#include "packer/win_case.h"

namespace {

const std::vector<const char*> EXTRACT_TO_NAMES = {"TEMP", "CACHE_DIR", "HOME", "EXE_DIR"};
const std::vector<const char*> APP_NAMES = {"APP_DIR", "EXE_DIR", "TEMP", "CACHE_DIR", "HOME"};

// `name` is one of `names`, in any case (as the launcher's expanders take them).
bool settings_known_variable(const std::string& name,
                             const std::vector<const char*>& names = EXTRACT_TO_NAMES) {
  for (const char* known : names) {
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

// `text` (UTF-8, checked) in UTF-16LE, followed by a NUL unit when `nul`.
std::string settings_utf16le(const std::string& text, bool nul) {
  std::u16string units;
  utf_8_to_16(text, &units);
  if (nul) units.push_back(0);
  std::string bytes;
  for (char16_t unit : units) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

// The UTF-16 units of `length` bytes at `value` (an odd last byte dropped).
std::u16string settings_units(const unsigned char* value, uint32_t length) {
  std::u16string units;
  for (uint32_t i = 0; i + 1 < length; i += 2) {
    units.push_back(static_cast<char16_t>(le_read_u16(value + i)));
  }
  return units;
}

// UTF-16 units of UTF-8 `text` (already checked).
size_t settings_unit_count(const std::string& text) {
  std::u16string units;
  utf_8_to_16(text, &units);
  return units.size();
}

// Why `text` cannot be an application template, or "": `option` names it in the message.
std::string settings_check_template(const std::string& option, const std::string& text) {
  std::u16string units;
  if (!utf_8_to_16(text, &units)) return option + " is not UTF-8";
  for (size_t at = 0; at < text.size(); at++) {
    char c = text[at];
    if ((c == '{' || c == '}') && at + 1 < text.size() && text[at + 1] == c) {
      at++;
      continue;
    }
    if (c == '}') return option + " has a '}' without its '{' (write }} for a brace)";
    if (c != '{') continue;
    size_t close = text.find('}', at);
    if (close == std::string::npos) {
      return option + " has a '{' without its '}' (write {{ for a brace)";
    }
    std::string name = text.substr(at + 1, close - at - 1);
    if (!settings_known_variable(name, APP_NAMES)) {
      return option + " names '{" + name + "}'; it may name " + SETTINGS_APP_VARIABLES +
             " ({{ and }} stand for braces)";
    }
    at = close;
  }
  return "";
}

// ASCII letters of `text` in upper case.
std::string settings_ascii_upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// The option that records `kind`, for messages.
const char* settings_kind_option(uint32_t kind) {
  switch (kind) {
    case ZB_SETTING_EXTRACT_TO: return "--extract-to";
    case ZB_SETTING_SPLASH: return "--splash";
    case ZB_SETTING_ARGS: return "--arg";
    case ZB_SETTING_ENV: return "--env";
    case ZB_SETTING_CWD: return "--cwd";
    default: return "an execution level (--uac-admin, or the main program's manifest)";
  }
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

std::string settings_add_env(Settings* settings, const std::string& text, bool prepend) {
  const std::string option =
      std::string(prepend ? "--env-prepend" : "--env") + " '" + text + "'";
  size_t equals = text.find('=');
  if (equals == std::string::npos || equals == 0) return option + " is not NAME=VALUE";
  EnvSetting setting{text.substr(0, equals), text.substr(equals + 1), prepend};
  std::string upper = settings_ascii_upper(setting.name);
  if (upper.rfind("ZOBRIN_ONEFILE_", 0) == 0 || upper == "ZOBRIN_ORIGINAL_ARGV0") {
    return option + " sets a variable of the launcher's own (ZOBRIN_ONEFILE_*, "
                    "ZOBRIN_ORIGINAL_ARGV0)";
  }
  std::string reason = settings_check_template(option, setting.value);
  if (!reason.empty()) return reason;
  for (const EnvSetting& other : settings->env) {
    if (win_upper_utf8(other.name) == win_upper_utf8(setting.name)) {
      return option + " sets '" + setting.name + "' again, after '" + other.name +
             "' (Windows takes names that differ only in case for one)";
    }
  }
  if (prepend && setting.value.empty()) return option + " has no value to put in front";
  settings->env.push_back(setting);
  return "";
}

std::string settings_check_app(const Settings& settings) {
  size_t units = 0;
  for (const std::string& arg : settings.args) {
    std::string reason = settings_check_template("--arg '" + arg + "'", arg);
    if (!reason.empty()) return reason;
    units += settings_unit_count(arg) + 1;
  }
  if (units > ZB_APP_SETTING_MAX_UNITS + 1) {
    return "--arg: the fixed arguments are longer than " +
           std::to_string(ZB_APP_SETTING_MAX_UNITS) + " UTF-16 units together";
  }
  units = 0;
  for (const EnvSetting& env : settings.env) {
    units += 1 + settings_unit_count(env.name) + 1 + settings_unit_count(env.value) + 1;
  }
  if (units > ZB_APP_SETTING_MAX_UNITS + 1) {
    return "--env: the variables are longer than " + std::to_string(ZB_APP_SETTING_MAX_UNITS) +
           " UTF-16 units together";
  }
  const std::string& cwd = settings.cwd;
  if (cwd.empty()) return "";
  const std::string option = "--cwd '" + cwd + "'";
  std::string reason = settings_check_template(option, cwd);
  if (!reason.empty()) return reason;
  if (settings_unit_count(cwd) > ZB_CWD_MAX_UNITS) {
    return "--cwd is longer than " + std::to_string(ZB_CWD_MAX_UNITS) + " UTF-16 units";
  }
  for (char c : cwd) {
    if (static_cast<unsigned char>(c) < 0x20 || std::strchr("*?\"<>|", c) != nullptr) {
      return option + " holds a character Windows does not allow in a path";
    }
  }
  bool variable = cwd[0] == '{' && cwd.size() > 1 && cwd[1] != '{';
  bool drive = cwd.size() >= 3 && std::isalpha(static_cast<unsigned char>(cwd[0])) &&
               cwd[1] == ':' && cwd[2] == '\\';
  bool unc = cwd.size() >= 3 && cwd[0] == '\\' && cwd[1] == '\\';
  if (!variable && !drive && !unc) {
    return option + " is not absolute: start it with " + SETTINGS_APP_VARIABLES +
           ", a drive (C:\\) or \\\\server";
  }
  return "";
}

void settings_check_launcher(const Settings& settings, const std::vector<unsigned char>& launcher,
                             const std::string& subject) {
  const std::string marker = ZB_SETTINGS_MARKER;
  uint32_t reads = ZB_SETTING_KINDS_UNMARKED;
  auto at = std::search(launcher.begin(), launcher.end(), marker.begin(), marker.end());
  if (at != launcher.end()) {
    reads = 0;
    for (auto digit = at + static_cast<long>(marker.size());
         digit != launcher.end() && *digit >= '0' && *digit <= '9' && reads < 1000; ++digit) {
      reads = reads * 10 + static_cast<uint32_t>(*digit - '0');
    }
  }
  const std::pair<uint32_t, bool> used[] = {{ZB_SETTING_EXTRACT_TO, !settings.extract_to.empty()},
                                            {ZB_SETTING_SPLASH, !settings.splash.empty()},
                                            {ZB_SETTING_ARGS, !settings.args.empty()},
                                            {ZB_SETTING_ENV, !settings.env.empty()},
                                            {ZB_SETTING_CWD, !settings.cwd.empty()},
                                            {ZB_SETTING_EXECUTION_LEVEL,
                                             !settings.execution_level.empty()}};
  for (const auto& [kind, given] : used) {
    if (!given || kind <= reads) continue;
    const std::string option = settings_kind_option(kind);
    throw PackError("the launcher " + subject + " is too old for " + option +
                    ": it reads settings up to kind " + std::to_string(reads) + ", " + option +
                    " needs kind " + std::to_string(kind) +
                    " (use the launcher kit of this zobrin-pack)");
  }
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
  std::string value;
  for (const std::string& arg : settings.args) value += settings_utf16le(arg, true);
  if (!value.empty()) settings_append_record(&records, ZB_SETTING_ARGS, value);
  value.clear();
  for (const EnvSetting& env : settings.env) {
    uint16_t operation = env.prepend ? ZB_ENV_PREPEND : ZB_ENV_SET;
    value.push_back(static_cast<char>(operation & 0xFF));
    value.push_back(static_cast<char>(operation >> 8));
    value += settings_utf16le(env.name + "=" + env.value, true);
  }
  if (!value.empty()) settings_append_record(&records, ZB_SETTING_ENV, value);
  if (!settings.cwd.empty()) {
    settings_append_record(&records, ZB_SETTING_CWD, settings_utf16le(settings.cwd, false));
  }
  if (!settings.execution_level.empty()) {
    settings_append_record(&records, ZB_SETTING_EXECUTION_LEVEL, settings.execution_level);
  }
  if (records.empty()) return "";
  unsigned char length[ZB_SETTINGS_LENGTH_BYTES];
  le_write_u64(length, records.size());
  return std::string(reinterpret_cast<const char*>(length), sizeof length) + records;
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
      size_t got = codec_decode_frame(pixels.data(), pixels.size(), value + 8, length - 8);
      whole = got == width * height * 4;
    }
    if (!whole) {
      throw PackError(subject + ": the splash image recorded beside the payload is damaged");
    }
  }
  value = nullptr;
  if (payload_settings_find(records, size, ZB_SETTING_ARGS, &value, &length) && value) {
    std::u16string units = settings_units(value, length);
    std::string reason = length % 2 != 0 || units.empty() || units.back() != 0
                             ? "it does not end with a NUL unit"
                             : "";
    for (size_t at = 0; reason.empty() && at < units.size(); at = units.find(u'\0', at) + 1) {
      settings.args.push_back(utf_16_to_8(units.substr(at, units.find(u'\0', at) - at)));
    }
    if (reason.empty()) reason = settings_check_app(settings);
    if (!reason.empty()) {
      throw PackError(subject + ": the fixed arguments recorded beside the payload cannot be "
                      "used (" + reason + ")");
    }
  }
  value = nullptr;
  if (payload_settings_find(records, size, ZB_SETTING_ENV, &value, &length) && value) {
    std::u16string units = settings_units(value, length);
    std::string reason = length % 2 != 0 || units.empty() || units.back() != 0
                             ? "it does not end with a NUL unit"
                             : "";
    for (size_t at = 0; reason.empty() && at < units.size(); at = units.find(u'\0', at) + 1) {
      char16_t operation = units[at];
      std::string text = utf_16_to_8(units.substr(at + 1, units.find(u'\0', at) - at - 1));
      if (operation != ZB_ENV_SET && operation != ZB_ENV_PREPEND) {
        reason = "an entry's operation is " + std::to_string(operation);
      } else {
        reason = settings_add_env(&settings, text, operation == ZB_ENV_PREPEND);
      }
    }
    if (reason.empty()) reason = settings_check_app(settings);
    if (!reason.empty()) {
      throw PackError(subject + ": the variables recorded beside the payload cannot be used (" +
                      reason + ")");
    }
  }
  value = nullptr;
  if (payload_settings_find(records, size, ZB_SETTING_CWD, &value, &length) && value) {
    settings.cwd = utf_16_to_8(settings_units(value, length));
    std::string reason = length % 2 != 0 || length == 0 ? "its length is odd or 0"
                                                       : settings_check_app(settings);
    if (!reason.empty()) {
      throw PackError(subject + ": the working folder recorded beside the payload cannot be "
                      "used (" + reason + ")");
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
