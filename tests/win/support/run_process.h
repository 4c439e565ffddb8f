// Starts a program under test with captured output and reads its full 32-bit exit code.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct ProcessResult {
  bool started = false;
  std::string out;  // standard output, bytes as written
  std::string err;  // standard error
  DWORD code = 0;
  DWORD pid = 0;
};

// Runs `program` (a path) with `args` (quoted as the runtime splits them), waits up to
// `timeout_ms`; a program still running then is terminated and the test fails.
// `argv0`, when not empty, is written as element 0 of the command line instead of `program`.
ProcessResult run_process(const std::wstring& program, const std::vector<std::wstring>& args,
                          DWORD timeout_ms = 60000, const std::wstring& argv0 = L"");

// The directory of the test programs, with a trailing backslash.
std::wstring test_dir();

// UTF-8 text of a wide string.
std::string utf8(const std::wstring& text);
