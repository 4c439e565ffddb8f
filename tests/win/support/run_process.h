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

// CreateProcessW with the given arguments (no flags, no environment or directory of its own).
// Wine reports ERROR_INTERNAL_ERROR when the new process died before Windows code ran in it
// (its loader could not set up the address space); that start is tried again, up to 5 times.
// The result and GetLastError are those of the last attempt.
bool start_process(const wchar_t* program, wchar_t* command, BOOL inherit_handles,
                   STARTUPINFOW* startup, PROCESS_INFORMATION* process);

// Runs `program` (a path) with `args` (quoted as the runtime splits them), waits up to
// `timeout_ms`; a program still running then is terminated and the test fails.
// `argv0`, when not empty, is written as element 0 of the command line instead of `program`.
ProcessResult run_process(const std::wstring& program, const std::vector<std::wstring>& args,
                          DWORD timeout_ms = 60000, const std::wstring& argv0 = L"");

// The directory of the test programs, with a trailing backslash.
std::wstring test_dir();

// UTF-8 text of a wide string, and the wide string of a UTF-8 text.
std::string utf8(const std::wstring& text);
std::wstring wide(const std::string& text);

// The system's text for an error code without its trailing line breaks, as UTF-8, or
// "<unknown>" when it has none.
std::string system_text(DWORD code);

// The whole content of a file (empty when it cannot be opened). iostreams are avoided in the
// Windows tests: libstdc++'s locale set-up is not reliable in a static Universal CRT build.
std::string read_file(const std::wstring& path);

// A program's output (or a text file) split into lines, carriage returns dropped; a last line
// without a line feed counts too.
std::vector<std::string> output_lines(const std::string& out);
