// Test trees for the cleanup tests, built under the test programs' directory (no links on
// the way there, unlike parts of the Wine prefix).
#pragma once

#include <windows.h>
#include <aclapi.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/payload_mark.h"
#include "tests/win/support/run_process.h"

// A new, empty directory of its own for one test.
inline std::wstring tree_fresh(const wchar_t* tag) {
  static unsigned counter = 0;
  std::wstring base = test_dir() + L"cw";
  CreateDirectoryW(base.c_str(), nullptr);
  std::wstring dir = base + L"\\" + tag + std::to_wstring(GetCurrentProcessId()) + L"_" +
                     std::to_wstring(++counter);
  EXPECT_TRUE(CreateDirectoryW(dir.c_str(), nullptr)) << utf8(dir) << " " << GetLastError();
  return dir;
}

inline bool tree_exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline void tree_dir(const std::wstring& path) {
  EXPECT_TRUE(CreateDirectoryW(path.c_str(), nullptr)) << utf8(path) << " " << GetLastError();
}

// A directory as the launcher creates one to extract into: with its mark.
inline void marked_dir(const std::wstring& path) {
  tree_dir(path);
  EXPECT_TRUE(SetFileAttributesW(path.c_str(), ZB_PAYLOAD_MARK)) << utf8(path);
}

inline void tree_file(const std::wstring& path, const char* text = "data") {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << utf8(path) << " " << GetLastError();
  DWORD written = 0;
  WriteFile(file, text, (DWORD)strlen(text), &written, nullptr);
  CloseHandle(file);
}

// Dates `path` (its write time) `days` ago.
inline void tree_age(const std::wstring& path, uint64_t days) {
  HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 7, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  uint64_t then = ((uint64_t)now.dwHighDateTime << 32 | now.dwLowDateTime) -
                  days * 24 * 3600 * 10000000ull;
  FILETIME dated = {(DWORD)then, (DWORD)(then >> 32)};
  EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &dated)) << utf8(path);
  CloseHandle(file);
}

// Test-side clean-up, whatever the code under test left: clears read-only bits first.
inline void tree_wipe(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") tree_wipe(path + L"\\" + name);
      } while (FindNextFileW(find, &found));
      FindClose(find);
    }
    RemoveDirectoryW(path.c_str());
  } else {
    DeleteFileW(path.c_str());
  }
}

// Unix path of a Z: path, for Unix tools.
inline std::wstring unix_path(const std::wstring& path) {
  std::wstring out = path.substr(2);
  for (wchar_t& c : out) {
    if (c == L'\\') c = L'/';
  }
  return out;
}

// Runs a Unix program (Wine starts Unix executables directly) and waits until `watched`
// exists (or, with `appears` false, no longer exists): the handle of a Unix process may be
// signalled before the program has run. Wine itself cannot make symbolic links.
inline bool run_unix(const wchar_t* program, std::wstring command, const std::wstring& watched,
                     bool appears = true) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!start_process(program, &command[0], /* bInheritHandles */ FALSE, &startup, &process)) {
    return false;
  }
  WaitForSingleObject(process.hProcess, 30000);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  for (int i = 0; i < 1500 && tree_exists(watched) != appears; i++) Sleep(20);
  return tree_exists(watched) == appears;
}

// Names of the entries directly in `dir` that match `pattern`, sorted ("." and ".." left out).
inline std::vector<std::wstring> tree_names(const std::wstring& dir,
                                            const std::wstring& pattern = L"*") {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((dir + L"\\" + pattern).c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(find, &found));
  FindClose(find);
  std::sort(names.begin(), names.end());
  return names;
}

// A running test's own directories: `base` (the test programs' directory, `prefix` and the
// test's name, emptied first) holding `temp` and `report`. TMP and TEMP name `temp`, so a
// launcher started by the test extracts there.
struct TestDirs {
  std::wstring base, temp, report;
};
inline TestDirs test_dirs(const std::wstring& prefix) {
  std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  TestDirs dirs;
  dirs.base = test_dir() + prefix + wide(name);
  tree_wipe(dirs.base);
  CreateDirectoryW(dirs.base.c_str(), nullptr);
  dirs.temp = dirs.base + L"\\temp";
  dirs.report = dirs.base + L"\\report";
  CreateDirectoryW(dirs.temp.c_str(), nullptr);
  CreateDirectoryW(dirs.report.c_str(), nullptr);
  SetEnvironmentVariableW(L"TMP", dirs.temp.c_str());
  SetEnvironmentVariableW(L"TEMP", dirs.temp.c_str());
  return dirs;
}

// True when `path`'s owner is this process's user.
inline bool owned_by_me(const std::wstring& path) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR security = nullptr;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                            nullptr, nullptr, nullptr, &security) != ERROR_SUCCESS) {
    return false;
  }
  HANDLE token = nullptr;
  OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
  union {
    TOKEN_USER user;
    char bytes[256];
  } me;
  DWORD needed = 0;
  bool mine = GetTokenInformation(token, TokenUser, &me, sizeof me, &needed) &&
              EqualSid(owner, me.user.User.Sid);
  CloseHandle(token);
  LocalFree(security);
  return mine;
}

// "onefile_PID_TIME_US_RANDOM" as the launcher names its directory.
inline bool is_directory_name(const std::string& name, DWORD pid) {
  std::string head = "onefile_" + std::to_string(pid) + "_";
  if (name.compare(0, head.size(), head) != 0 || name.size() != head.size() + 6 + 1 + 11) {
    return false;
  }
  std::string time_us = name.substr(head.size(), 6);
  std::string random = name.substr(head.size() + 7);
  return name[head.size() + 6] == '_' &&
         time_us.find_first_not_of("0123456789") == std::string::npos &&
         random.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                  "0123456789-_") == std::string::npos;
}
