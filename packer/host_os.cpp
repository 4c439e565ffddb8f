#include "packer/host_os.h"

#include "packer/utf.h"

#ifdef _WIN32

#include <windows.h>
#include <io.h>
#include <process.h>
#include <shellapi.h>

#include <cstdio>
#include <memory>

namespace fs = std::filesystem;

namespace {

std::wstring host_wide(const std::string& text) {
  std::u16string units;
  utf_8_to_16(text, &units);
  return std::wstring(units.begin(), units.end());
}

std::string host_narrow(const wchar_t* text, size_t length) {
  return utf_16_to_8(std::u16string(text, text + length));
}

// Appends `arg` quoted so that the C runtime's command-line parser gives it back unchanged:
// backslashes double only before a quote (or the closing one).
void host_quote_arg(const std::wstring& arg, std::wstring* line) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    *line += arg;
    return;
  }
  *line += L'"';
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      backslashes++;
      continue;
    }
    if (c == L'"') backslashes = backslashes * 2 + 1;
    line->append(backslashes, L'\\');
    backslashes = 0;
    *line += c;
  }
  line->append(backslashes * 2, L'\\');
  *line += L'"';
}

struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

}  // namespace

fs::path host_io_path(const fs::path& path) {
  const std::wstring& native = path.native();
  if (native.compare(0, 4, L"\\\\?\\") == 0) return path;
  std::wstring full(native.size() + MAX_PATH, L'\0');
  DWORD length = GetFullPathNameW(native.c_str(), static_cast<DWORD>(full.size()), &full[0],
                                  /* lpFilePart */ nullptr);
  // CreateDirectoryW's limit, the lowest: MAX_PATH less room for an 8.3 name.
  if (length < MAX_PATH - 12 || length >= full.size()) return path;
  full.resize(length);
  for (wchar_t& c : full) {
    if (c == L'/') c = L'\\';
  }
  if (full.compare(0, 2, L"\\\\") == 0) return fs::path(L"\\\\?\\UNC\\" + full.substr(2));
  return fs::path(L"\\\\?\\" + full);
}

// `path` without the "\\?\" form's prefix.
fs::path host_plain_path(const fs::path& path) {
  const std::wstring& native = path.native();
  if (native.compare(0, 8, L"\\\\?\\UNC\\") == 0) return fs::path(L"\\\\" + native.substr(8));
  if (native.compare(0, 4, L"\\\\?\\") == 0) return fs::path(native.substr(4));
  return path;
}

std::pair<uint64_t, uint64_t> host_file_id(const fs::path& path, std::error_code& ec) {
  ec.clear();
  Handle file(CreateFileW(host_io_path(path).c_str(), /* dwDesiredAccess */ 0,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          /* lpSecurityAttributes */ nullptr, OPEN_EXISTING,
                          FILE_FLAG_BACKUP_SEMANTICS, /* hTemplateFile */ nullptr));
  BY_HANDLE_FILE_INFORMATION info;
  if (file.get() == INVALID_HANDLE_VALUE) file.release();
  if (!file || !GetFileInformationByHandle(file.get(), &info)) {
    ec = std::error_code(static_cast<int>(GetLastError()), std::system_category());
    return {};
  }
  return {info.dwVolumeSerialNumber,
          (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

std::vector<fs::path> host_list_directory(const fs::path& dir, std::error_code& ec) {
  ec.clear();
  std::vector<fs::path> names;
  std::wstring pattern = host_io_path(dir).native() + L"\\*";
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                 /* lpSearchFilter */ nullptr, /* dwAdditionalFlags */ 0);
  if (find == INVALID_HANDLE_VALUE) {
    ec = std::error_code(static_cast<int>(GetLastError()), std::system_category());
    return names;
  }
  do {
    std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") names.emplace_back(name);
  } while (FindNextFileW(find, &data));
  DWORD error = GetLastError();
  FindClose(find);
  if (error != ERROR_NO_MORE_FILES) {
    ec = std::error_code(static_cast<int>(error), std::system_category());
  }
  return names;
}

int host_pid() { return _getpid(); }

bool host_stderr_is_terminal() { return _isatty(_fileno(stderr)) != 0; }

int host_run(const std::vector<std::string>& args) {
  std::wstring line;
  for (const std::string& arg : args) {
    if (!line.empty()) line += L' ';
    host_quote_arg(host_wide(arg), &line);
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  // CreateProcessW may write into the command line, so it gets a copy it owns.
  std::vector<wchar_t> writable(line.begin(), line.end());
  writable.push_back(L'\0');
  if (!CreateProcessW(/* lpApplicationName */ nullptr, writable.data(),
                      /* lpProcessAttributes */ nullptr, /* lpThreadAttributes */ nullptr,
                      /* bInheritHandles */ FALSE, /* dwCreationFlags */ 0,
                      /* lpEnvironment */ nullptr, /* lpCurrentDirectory */ nullptr, &startup,
                      &process)) {
    return -1;
  }
  Handle child(process.hProcess);
  Handle thread(process.hThread);
  DWORD status = 0;
  if (WaitForSingleObject(child.get(), INFINITE) != WAIT_OBJECT_0 ||
      !GetExitCodeProcess(child.get(), &status)) {
    return -1;
  }
  // Unlike a POSIX status, a Windows exit code is 32 bits; a value that does not fit an int
  // (an NTSTATUS of a crash) reads as not having exited normally.
  return status > 0x7FFFFFFF ? -1 : static_cast<int>(status);
}

fs::path host_self_path(const char* argv0) {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) break;
    if (length < buffer.size()) return fs::path(std::wstring(buffer.data(), length));
    if (buffer.size() >= 32768) break;
    buffer.resize(buffer.size() * 2);
  }
  std::error_code ec;
  return fs::absolute(host_path_from_utf8(argv0), ec);
}

std::vector<std::string> host_utf8_args(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!wide) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> args;
  for (int i = 0; i < count; i++) args.push_back(host_narrow(wide[i], wcslen(wide[i])));
  LocalFree(wide);
  return args;
}

std::string host_path_utf8(const fs::path& path) {
  return host_narrow(path.native().data(), path.native().size());
}

fs::path host_path_from_utf8(const std::string& text) { return fs::path(host_wide(text)); }

bool host_path_units(const fs::path& path, std::u16string* units) {
  units->assign(path.native().begin(), path.native().end());
  return true;
}

#else

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace fs = std::filesystem;

int host_pid() { return static_cast<int>(getpid()); }

bool host_stderr_is_terminal() { return isatty(STDERR_FILENO) != 0; }

int host_run(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

fs::path host_self_path(const char* argv0) {
  std::error_code ec;
  fs::path program = fs::read_symlink("/proc/self/exe", ec);
  if (ec) program = fs::absolute(argv0, ec);
  return program;
}

std::vector<std::string> host_utf8_args(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

fs::path host_io_path(const fs::path& path) { return path; }

std::pair<uint64_t, uint64_t> host_file_id(const fs::path& path, std::error_code& ec) {
  ec.clear();
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    ec = std::error_code(errno, std::generic_category());
    return {};
  }
  return {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
}

std::vector<fs::path> host_list_directory(const fs::path& dir, std::error_code& ec) {
  std::vector<fs::path> names;
  fs::directory_iterator it(dir, ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    names.push_back(it->path().filename());
  }
  return names;
}

// `path` without the "\\?\" form's prefix.

std::string host_path_utf8(const fs::path& path) { return path.native(); }

fs::path host_path_from_utf8(const std::string& text) { return fs::path(text); }

bool host_path_units(const fs::path& path, std::u16string* units) {
  return utf_8_to_16(path.native(), units);
}

#endif
