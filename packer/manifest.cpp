#include "packer/manifest.h"

#include "packer/pack_error.h"
#include "packer/pe_resources.h"
#include "packer/utf.h"

namespace {

constexpr uint32_t MANIFEST_RESOURCE_ID = 1;  // CREATEPROCESS_MANIFEST_RESOURCE_ID
const char* const MANIFEST_SPACE = " \t\r\n";

}  // namespace

ManifestLevel manifest_level(const std::string& manifest) {
  ManifestLevel result;
  std::string text = manifest;
  const bool wide = text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0xFF &&
                    static_cast<unsigned char>(text[1]) == 0xFE;
  if (wide) {
    std::u16string units;
    for (size_t i = 2; i + 1 < manifest.size(); i += 2) {
      units.push_back(static_cast<char16_t>(static_cast<unsigned char>(manifest[i]) |
                                            static_cast<unsigned char>(manifest[i + 1]) << 8));
    }
    text = utf_16_to_8(units);
  }
  const size_t npos = std::string::npos;
  for (size_t i = text.find('<'); i != npos; i = text.find('<', i + 1)) {
    if (text.compare(i, 4, "<!--") == 0) {
      i = text.find("-->", i + 4);
      if (i == npos) break;
      continue;
    }
    size_t name_end = text.find_first_of(" \t\r\n/>", i + 1);
    if (name_end == npos) break;
    std::string name = text.substr(i + 1, name_end - i - 1);
    if (name.find(':') != npos) name = name.substr(name.rfind(':') + 1);
    if (name != "requestedExecutionLevel") continue;
    // Its attributes, name="value" or name='value', up to the tag's end.
    for (size_t at = name_end;;) {
      at = text.find_first_not_of(" \t\r\n/", at);
      if (at == npos || text[at] == '>') return result;
      size_t equals = text.find('=', at);
      if (equals == npos) return result;
      std::string attribute = text.substr(at, equals - at);
      attribute.erase(attribute.find_last_not_of(MANIFEST_SPACE) + 1);
      size_t quote = text.find_first_not_of(MANIFEST_SPACE, equals + 1);
      if (quote == npos || (text[quote] != '"' && text[quote] != '\'')) return result;
      size_t close = text.find(text[quote], quote + 1);
      if (close == npos) return result;
      if (attribute == "level") {
        result.level = text.substr(quote + 1, close - quote - 1);
        if (!wide) result.at = quote + 1;
        result.length = close - quote - 1;
        return result;
      }
      at = close + 1;
    }
  }
  return result;
}

bool manifest_level_known(const std::string& level) {
  return level == MANIFEST_AS_INVOKER || level == MANIFEST_HIGHEST_AVAILABLE ||
         level == MANIFEST_REQUIRE_ADMINISTRATOR;
}

std::string manifest_image_level(const std::vector<unsigned char>& image,
                                 const std::string& subject) {
  for (const Resource& r : res_read(image, subject)) {
    if (r.type.name.empty() && r.type.id == RES_TYPE_MANIFEST && r.name.name.empty() &&
        r.name.id == MANIFEST_RESOURCE_ID) {
      return manifest_level(r.data).level;
    }
  }
  return "";
}

std::string manifest_set_level(const std::string& manifest, const std::string& level,
                               const std::string& subject) {
  ManifestLevel found = manifest_level(manifest);
  if (found.at == std::string::npos) {
    throw PackError(subject + ": its manifest names no execution level");
  }
  std::string result = manifest;
  result.replace(found.at, found.length, level);
  return result;
}
