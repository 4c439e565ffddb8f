// Links the launcher with a payload object into the onefile executable.
#pragma once

#include <filesystem>
#include <string>

struct LinkOptions {
  std::filesystem::path launcher_dir;  // the launcher kit: libraries, resources, specs file
  std::string linker;                  // the mingw-w64 C++ driver
};

// The kit beside this program ("<dir of zobrin-pack>/launcher").
std::filesystem::path link_default_launcher_dir(const char* argv0);

// Checks that the kit holds every file the link needs.
bool link_check_kit(const LinkOptions& options, std::string* error);

// Runs the linker: `object` (the payload) and the kit into `output`. False with a reason.
bool link_executable(const LinkOptions& options, const std::filesystem::path& object,
                     const std::filesystem::path& output, std::string* error);
