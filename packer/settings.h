// The settings an executable carries after its payload (base/payload_format.h): the block as
// `exe` writes it, read back by `list` and `verify`, and the checks of each kind's value.
#pragma once

#include <cstdint>
#include <string>

struct PayloadArray;

struct Settings {
  std::string extract_to;  // the payload directory's parent as a template (UTF-8); "": none
  std::string splash;      // the splash image's record bytes (packer/splash_image.h); "": none
  std::string execution_level;  // the manifest's level (packer/manifest.h); "": asInvoker
};

// The variables a --extract-to template may name.
constexpr const char* SETTINGS_EXTRACT_TO_VARIABLES = "{TEMP}, {CACHE_DIR}, {HOME} or {EXE_DIR}";

// Why `text` cannot be an --extract-to template, or "" when it can: it must be UTF-8 of 1 to
// ZB_EXTRACT_TO_MAX_UNITS UTF-16 units, name only the variables above, close every "{", hold
// no character Windows refuses in a path (control characters, * ? " < > |) and be absolute:
// start with a variable, a drive ("X:\") or "\\server".
std::string settings_check_extract_to(const std::string& text);

// The block that follows the array (its length word and records), or "" when `settings` holds
// none (the executable then has neither the block nor its run flag).
std::string settings_block(const Settings& settings);

// The settings block after the array (and the file digests, `digests_bytes`) of an executable
// whose run flags announce it: its bytes, the length word included, within the section.
// Throws PackError("<subject>: <reason>") when it runs past the section or is malformed.
std::string settings_locate(const PayloadArray& array, uint64_t digests_bytes,
                            const std::string& subject);

// The settings in `block` (as settings_locate returns it), each kind's value checked.
// Throws PackError("<subject>: <reason>").
Settings settings_read(const std::string& block, const std::string& subject);
