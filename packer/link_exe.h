// The launcher executable that `exe` copies the payload into: the prebuilt one of the
// launcher kit, or one linked from the kit's libraries.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

struct LinkOptions {
  std::filesystem::path launcher_dir;  // the launcher kit: launcher.exe, libraries, resources
  std::string linker;                  // the mingw-w64 C++ driver; empty: use launcher.exe
};

// The linker driver `launcher` uses when none is given.
constexpr const char* LINK_DEFAULT_LINKER = "x86_64-w64-mingw32-g++-posix";

// The prebuilt launcher's file name in the kit.
constexpr const char* LINK_LAUNCHER_EXE = "launcher.exe";

// The kit's file of the launcher's link flags: one flag a line; blank lines and lines
// starting with '#' are skipped.
constexpr const char* LINK_FLAGS_FILE = "launcher.link";

// Where an installation puts the kit, relative to the directory that holds zobrin-pack
// (cmake/install.cmake installs it there).
constexpr const char* LINK_INSTALLED_LAUNCHER_DIR = "../lib/zobrin-onefile/launcher";

// The kit of this program: "launcher" beside it (the build tree), or else the installed kit
// (LINK_INSTALLED_LAUNCHER_DIR) when that directory exists; "launcher" beside it when neither
// does, so the message about a missing kit names the build tree's place.
std::filesystem::path link_default_launcher_dir(const char* argv0);

// Checks that the kit holds every file the chosen way needs: launcher.exe, or what a link
// needs when a linker is set. Throws PackError naming the first one missing.
void link_check_kit(const LinkOptions& options);

// Reads a flags file (see LINK_FLAGS_FILE).
std::vector<std::string> link_read_flags(const std::filesystem::path& path);

// Links the launcher with an empty payload section, placed last in the image, into
// `output` (using a temporary object file beside it). Throws PackError.
void link_launcher(const LinkOptions& options, const std::filesystem::path& output);
