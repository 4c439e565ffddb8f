// The little the packer asks of the operating system beyond the C++ library: POSIX, or Windows
// when cross-built as zobrin-pack.exe. Text is UTF-8 on both: command-line arguments, paths in
// messages and the linker's arguments.
#pragma once

#include <cstdint>
#include <filesystem>
#include <system_error>
#include <utility>
#include <string>
#include <vector>

// The form of `path` to hand to the system: `path` itself, except on Windows for a path of
// 248 units or more (where the plain form stops working), which becomes the absolute "\\?\"
// form. Messages keep naming `path`.
std::filesystem::path host_io_path(const std::filesystem::path& path);

// The identity of the existing file or directory `path` (device and file number; symbolic
// links followed): equal for two paths exactly when they reach the same one. Sets `ec` on
// failure.
std::pair<uint64_t, uint64_t> host_file_id(const std::filesystem::path& path, std::error_code& ec);

// The names in the directory `dir`, without "." and ".."; sets `ec` when it cannot be read.
// (On Windows fs::directory_iterator cannot take the "\\?\" form.)
std::vector<std::filesystem::path> host_list_directory(const std::filesystem::path& dir,
                                                       std::error_code& ec);

// This process's id, for temporary file names.
int host_pid();

// True when standard error is a terminal (progress is shown only there).
bool host_stderr_is_terminal();

// Runs `args` (UTF-8; args[0] looked up on PATH) and waits; its exit status, or -1 when it
// could not be started or did not exit normally.
int host_run(const std::vector<std::string>& args);

// This program's own file (POSIX: from /proc/self/exe, `argv0` made absolute when that fails;
// Windows: GetModuleFileNameW).
std::filesystem::path host_self_path(const char* argv0);

// The command line as UTF-8 strings: `argv` as it is on POSIX; on Windows the wide command
// line, since `argv` there is in the ANSI code page and loses what it cannot show.
std::vector<std::string> host_utf8_args(int argc, char** argv);

// A path as UTF-8 text (on Windows an unpaired surrogate becomes U+FFFD).
std::string host_path_utf8(const std::filesystem::path& path);

// The path UTF-8 text names (what std::filesystem::u8path does, without its deprecation).
std::filesystem::path host_path_from_utf8(const std::string& text);

// A path's UTF-16 code units; false when the POSIX name is not valid UTF-8.
bool host_path_units(const std::filesystem::path& path, std::u16string* units);
