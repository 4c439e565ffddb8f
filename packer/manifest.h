// The execution level a program's manifest asks for (requestedExecutionLevel's level, never
// uiAccess), read from its RT_MANIFEST resource, and the launcher's manifest set to a level.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

constexpr const char* MANIFEST_AS_INVOKER = "asInvoker";
constexpr const char* MANIFEST_HIGHEST_AVAILABLE = "highestAvailable";
constexpr const char* MANIFEST_REQUIRE_ADMINISTRATOR = "requireAdministrator";

// A manifest's level: the value ("" when it names none) and where it lies in the manifest's
// bytes (`at` is npos for a UTF-16 manifest, whose level is read but never rewritten).
struct ManifestLevel {
  std::string level;
  size_t at = std::string::npos;
  size_t length = 0;
};

// The level attribute of the first requestedExecutionLevel element (any namespace prefix)
// outside comments in `manifest` (UTF-8, or UTF-16 with its byte order mark).
ManifestLevel manifest_level(const std::string& manifest);

// True for the three levels Windows knows.
bool manifest_level_known(const std::string& level);

// The level `image`'s manifest (RT_MANIFEST, id 1, its first language) asks for; "" when it
// has none. Throws PackError("<subject>: <reason>") for a damaged resource directory.
std::string manifest_image_level(const std::vector<unsigned char>& image,
                                 const std::string& subject);

// `manifest` asking for `level` instead. Throws PackError("<subject>: its manifest names no
// execution level") when it has no UTF-8 level to replace.
std::string manifest_set_level(const std::string& manifest, const std::string& level,
                               const std::string& subject);
