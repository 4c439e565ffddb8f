// The settings an executable carries after its payload (format/payload_format.h): the block as
// `exe` writes it, read back by `list` and `verify`, and the checks of each kind's value.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One of the application's variables (--env, --env-prepend).
struct EnvSetting {
  std::string name;   // UTF-8
  std::string value;  // an application template (UTF-8)
  bool prepend = false;
};

struct Settings {
  std::string extract_to;  // the payload directory's parent as a template (UTF-8); "": none
  std::string splash;      // the splash image's record bytes (packer/splash_image.h); "": none
  std::vector<std::string> args;  // the application's fixed arguments, templates (UTF-8)
  std::vector<EnvSetting> env;    // its variables, each name once
  std::string cwd;                // its working folder as a template (UTF-8); "": the user's
  std::string execution_level;  // the manifest's level (packer/manifest.h); "": asInvoker
};

// The variables a --extract-to template may name.
constexpr const char* SETTINGS_EXTRACT_TO_VARIABLES = "{TEMP}, {CACHE_DIR}, {HOME} or {EXE_DIR}";
// The variables an application template (--arg, --env, --env-prepend, --cwd) may name.
constexpr const char* SETTINGS_APP_VARIABLES = "{APP_DIR}, {EXE_DIR}, {TEMP}, {CACHE_DIR} or {HOME}";

// Why `text` cannot be an --extract-to template, or "" when it can: it must be UTF-8 of 1 to
// ZB_EXTRACT_TO_MAX_UNITS UTF-16 units, name only the variables above, close every "{", hold
// no character Windows refuses in a path (control characters, * ? " < > |) and be absolute:
// start with a variable, a drive ("X:\") or "\\server".
std::string settings_check_extract_to(const std::string& text);

// Adds the variable `text` ("NAME=VALUE", of --env or, with `prepend`, --env-prepend) to
// `settings`. Returns why it cannot be added, or "": it must have a NAME, not one of the
// launcher's own (ZOBRIN_ONEFILE_*, ZOBRIN_ORIGINAL_ARGV0) nor one already there in any case,
// and a VALUE that is an application template (not empty for --env-prepend; empty for --env
// removes the variable).
std::string settings_add_env(Settings* settings, const std::string& text, bool prepend);

// Why the application's fixed arguments and working folder in `settings` cannot be used, or "":
// every text an application template (UTF-8; "{{" and "}}" for braces, only the variables
// above, every "{" closed, no "}" alone); the arguments and the variables each at most
// ZB_APP_SETTING_MAX_UNITS UTF-16 units together; the working folder 1 to ZB_CWD_MAX_UNITS
// units, without a character Windows refuses in a path, and absolute (a variable, "X:\" or
// "\\server" first).
std::string settings_check_app(const Settings& settings);

// Throws PackError("the launcher <subject> is too old for <option> ...") when the launcher image
// `launcher` cannot read a record of `settings`: it reads the kinds up to the number after
// ZB_SETTINGS_MARKER in it, or up to ZB_SETTING_KINDS_UNMARKED without the marker.
void settings_check_launcher(const Settings& settings, const std::vector<unsigned char>& launcher,
                             const std::string& subject);

// The block that follows the array (its length word and records), or "" when `settings` holds
// none (the executable then has neither the block nor its run flag).
std::string settings_block(const Settings& settings);

// The settings in `block` (as payload_settings_block returns it), each kind's value checked.
// Throws PackError("<subject>: <reason>").
Settings settings_read(const std::string& block, const std::string& subject);
