// Shared by the environment, template and path tests.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "tests/win/support/run_process.h"

// Sets (or, with `set` false, removes) a variable for the life of the object and puts the
// old state back afterwards, through the system call only.
class ScopedEnv {
 public:
  ScopedEnv(const wchar_t* name, const wchar_t* value, bool set = true) : name_(name) {
    std::vector<wchar_t> buffer(32768);
    DWORD n = GetEnvironmentVariableW(name, buffer.data(), (DWORD)buffer.size());
    had_ = n > 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
    if (had_) old_.assign(buffer.data(), n);
    SetEnvironmentVariableW(name, set ? value : nullptr);
  }
  ~ScopedEnv() { SetEnvironmentVariableW(name_.c_str(), had_ ? old_.c_str() : nullptr); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::wstring name_;
  std::wstring old_;
  bool had_ = false;
};

inline std::wstring get_env(const wchar_t* name) {
  std::vector<wchar_t> buffer(32768);
  DWORD n = GetEnvironmentVariableW(name, buffer.data(), (DWORD)buffer.size());
  return std::wstring(buffer.data(), n < buffer.size() ? n : 0);
}

inline bool abnormal_end(DWORD code) { return code == 3 || code == 0xC0000409; }

inline std::wstring paths_probe() { return test_dir() + L"paths_probe.exe"; }

inline std::wstring full_path(const std::wstring& path) {
  wchar_t buffer[4096];
  DWORD n = GetFullPathNameW(path.c_str(), 4096, buffer, nullptr);
  return std::wstring(buffer, n);
}

inline std::wstring short_path(const std::wstring& path) {
  wchar_t buffer[4096];
  DWORD n = GetShortPathNameW(path.c_str(), buffer, 4096);
  return n > 0 && n < 4096 ? std::wstring(buffer, n) : std::wstring();
}

inline std::wstring system_temp_dir() {
  wchar_t buffer[4096];
  DWORD n = GetTempPathW(4096, buffer);
  return std::wstring(buffer, n);
}

// Changes the working directory for the life of the object.
class ScopedCurrentDirectory {
 public:
  explicit ScopedCurrentDirectory(const std::wstring& directory) {
    wchar_t buffer[4096];
    old_.assign(buffer, GetCurrentDirectoryW(4096, buffer));
    SetCurrentDirectoryW(directory.c_str());
  }
  ~ScopedCurrentDirectory() { SetCurrentDirectoryW(old_.c_str()); }
  ScopedCurrentDirectory(const ScopedCurrentDirectory&) = delete;
  ScopedCurrentDirectory& operator=(const ScopedCurrentDirectory&) = delete;

 private:
  std::wstring old_;
};
