#include "tests/win/support/run_process.h"

#include <stdio.h>

#include <thread>

#include <gtest/gtest.h>

namespace {

std::wstring quote_argument(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      backslashes++;
      continue;
    }
    out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    out.push_back(c);
  }
  out.append(2 * backslashes, L'\\');
  out.push_back(L'"');
  return out;
}

void drain(HANDLE pipe, std::string* into) {
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) into->append(buffer, got);
}

}  // namespace

std::wstring test_dir() { return ZOBRIN_TEST_DIR_WIN L"\\"; }

std::string utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0, nullptr,
                              nullptr);
  std::string out(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), &out[0], n, nullptr, nullptr);
  return out;
}

std::wstring wide(const std::string& text) {
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0);
  std::wstring out(n, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), &out[0], n);
  return out;
}

std::string system_text(DWORD code) {
  wchar_t* text = nullptr;
  DWORD n = FormatMessageW(0x1300, nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  if (n == 0 || text == nullptr) return "<unknown>";
  std::wstring s(text, n);
  LocalFree(text);
  while (!s.empty() && (s.back() == L'\r' || s.back() == L'\n')) s.pop_back();
  return utf8(s);
}

std::string read_file(const std::wstring& path) {
  std::string data;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return data;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) data.append(buffer, got);
  CloseHandle(file);
  return data;
}

bool start_process(const wchar_t* program, wchar_t* command, BOOL inherit_handles,
                   STARTUPINFOW* startup, PROCESS_INFORMATION* process) {
  for (int attempt = 1;; attempt++) {
    if (CreateProcessW(program, command, nullptr, nullptr, inherit_handles, 0, nullptr, nullptr,
                       startup, process)) {
      return true;
    }
    DWORD error = GetLastError();
    if (error != ERROR_INTERNAL_ERROR || attempt == 5) return false;
    fprintf(stderr, "start of %s failed with error %lu, trying again\n",
            utf8(program).c_str(), error);
    Sleep(100);
    SetLastError(error);
  }
}

ProcessResult run_process(const std::wstring& program, const std::vector<std::wstring>& args,
                          DWORD timeout_ms, const std::wstring& argv0) {
  ProcessResult result;
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE out_read, out_write, err_read, err_write;
  CreatePipe(&out_read, &out_write, &inherit, 0);
  CreatePipe(&err_read, &err_write, &inherit, 0);
  SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);
  HANDLE null_in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_EXISTING, 0, nullptr);

  std::wstring command = quote_argument(argv0.empty() ? program : argv0);
  for (const std::wstring& arg : args) command += L" " + quote_argument(arg);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = null_in;
  startup.hStdOutput = out_write;
  startup.hStdError = err_write;
  PROCESS_INFORMATION process = {};
  result.started = start_process(program.c_str(), &command[0], /* bInheritHandles */ TRUE,
                                 &startup, &process);
  CloseHandle(out_write);
  CloseHandle(err_write);
  CloseHandle(null_in);
  if (!result.started) {
    ADD_FAILURE() << "cannot start " << utf8(program) << ": error " << GetLastError();
    CloseHandle(out_read);
    CloseHandle(err_read);
    return result;
  }
  result.pid = process.dwProcessId;
  std::thread out_thread(drain, out_read, &result.out);
  std::thread err_thread(drain, err_read, &result.err);
  if (WaitForSingleObject(process.hProcess, timeout_ms) != WAIT_OBJECT_0) {
    ADD_FAILURE() << utf8(program) << " did not end within " << timeout_ms << " ms";
    TerminateProcess(process.hProcess, 0xDEAD);
    WaitForSingleObject(process.hProcess, INFINITE);
  }
  GetExitCodeProcess(process.hProcess, &result.code);
  out_thread.join();
  err_thread.join();
  CloseHandle(out_read);
  CloseHandle(err_read);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return result;
}

std::vector<std::string> output_lines(const std::string& out) {
  std::vector<std::string> lines;
  std::string line;
  for (char c : out) {
    if (c == '\r') continue;
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
    } else {
      line.push_back(c);
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}
