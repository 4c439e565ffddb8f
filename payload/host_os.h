// The little the packer asks of the operating system beyond the C++ library (POSIX).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

// This process's id, for temporary file names.
int host_pid();

// True when standard error is a terminal (progress is shown only there).
bool host_stderr_is_terminal();

// Runs `args` (args[0] looked up on PATH) and waits; its exit status, or -1 when it could
// not be started or did not exit normally.
int host_run(const std::vector<std::string>& args);

// This program's own file (from /proc/self/exe; `argv0` made absolute when that fails).
std::filesystem::path host_self_path(const char* argv0);
