// The launcher executable that `exe` copies the payload into: the prebuilt one of the
// launcher kit, or one linked from the kit's libraries.
#pragma once

#include <filesystem>
#include <string>

struct LinkOptions {
  std::filesystem::path launcher_dir;  // the launcher kit: launcher.exe, libraries, resources
  std::string linker;                  // the mingw-w64 C++ driver; empty: use launcher.exe
};

// The linker driver `launcher` uses when none is given.
constexpr const char* LINK_DEFAULT_LINKER = "x86_64-w64-mingw32-g++-posix";

// The prebuilt launcher's file name in the kit.
constexpr const char* LINK_LAUNCHER_EXE = "launcher.exe";

// The kit beside this program ("<dir of zobrin-pack>/launcher").
std::filesystem::path link_default_launcher_dir(const char* argv0);

// Checks that the kit holds every file the chosen way needs: launcher.exe, or what a link
// needs when a linker is set.
bool link_check_kit(const LinkOptions& options, std::string* error);

// Links the launcher with an empty payload section, placed last in the image, into
// `output` (using a temporary object file beside it). False with a reason.
bool link_launcher(const LinkOptions& options, const std::filesystem::path& output,
                   std::string* error);
