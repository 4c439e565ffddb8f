// An interpreter-style application for tests: it runs the script file named by its first
// argument, one command a line, writing UTF-8 lines to standard output, where the directory
// it runs from (its own module's, the tree's root) is written as <APP>:
//   app          "app: DIR", the directory itself
//   args         "arg: [TEXT]" for each argument from the script's own on
//   env NAME     "NAME=VALUE", or "NAME unset"
//   cwd          "cwd: DIR", the current directory
//   again        when ZT_AGAIN names an executable: clears ZT_AGAIN, starts it with the one
//                argument "again", waits and writes "again: CODE"
// Built as a console program (entering at wmain) or, with SCRIPT_HOST_DLL, as a main DLL.
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

#include <string>
#include <vector>

namespace {

std::wstring app_dir;

void say(std::wstring line) {
  for (size_t at = 0; !app_dir.empty() && (at = line.find(app_dir, at)) != std::wstring::npos;) {
    line.replace(at, app_dir.size(), L"<APP>");
    at += 5;
  }
  line += L"\n";
  std::string bytes(line.size() * 4, '\0');
  int n = WideCharToMultiByte(CP_UTF8, 0, line.data(), (int)line.size(), &bytes[0],
                              (int)bytes.size(), nullptr, nullptr);
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), (DWORD)n, &written, nullptr);
}

std::wstring variable(const wchar_t* name, bool* set) {
  static wchar_t value[32768];
  DWORD n = GetEnvironmentVariableW(name, value, 32768);
  *set = n > 0 && n < 32768;
  return *set ? value : L"";
}

int run_script(int argc, wchar_t** argv, const wchar_t* own_path) {
  app_dir = own_path;
  app_dir.resize(app_dir.rfind(L'\\'));
  if (argc < 2) return 90;
  HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return 91;
  std::string text(65536, '\0');
  DWORD got = 0;
  ReadFile(file, &text[0], (DWORD)text.size(), &got, nullptr);
  CloseHandle(file);
  text.resize(got);
  std::wstring script(text.size(), L'\0');
  script.resize((size_t)MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(),
                                            &script[0], (int)script.size()));
  size_t start = 0;
  while (start < script.size()) {
    size_t end = script.find(L'\n', start);
    if (end == std::wstring::npos) end = script.size();
    std::wstring line = script.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    std::wstring command = line.substr(0, line.find(L' '));
    std::wstring rest = line.size() > command.size() ? line.substr(command.size() + 1) : L"";
    bool set = false;
    if (command == L"app") {
      std::wstring dir = app_dir;
      app_dir.clear();
      say(L"app: " + dir);
      app_dir = dir;
    } else if (command == L"args") {
      for (int i = 1; i < argc; i++) say(L"arg: [" + std::wstring(argv[i]) + L"]");
    } else if (command == L"env") {
      std::wstring value = variable(rest.c_str(), &set);
      say(set ? rest + L"=" + value : rest + L" unset");
    } else if (command == L"cwd") {
      wchar_t cwd[32768];
      GetCurrentDirectoryW(32768, cwd);
      say(L"cwd: " + std::wstring(cwd));
    } else if (command == L"again") {
      std::wstring exe = variable(L"ZT_AGAIN", &set);
      if (!set) continue;
      SetEnvironmentVariableW(L"ZT_AGAIN", nullptr);
      std::wstring line_again = L"\"" + exe + L"\" again";
      STARTUPINFOW startup = {};
      startup.cb = sizeof startup;
      PROCESS_INFORMATION process = {};
      if (!CreateProcessW(exe.c_str(), &line_again[0], nullptr, nullptr, TRUE, 0, nullptr,
                          nullptr, &startup, &process)) {
        return 92;
      }
      WaitForSingleObject(process.hProcess, INFINITE);
      DWORD code = 93;
      GetExitCodeProcess(process.hProcess, &code);
      CloseHandle(process.hThread);
      CloseHandle(process.hProcess);
      say(L"again: " + std::to_wstring(code));
    }
  }
  return 0;
}

}  // namespace

#ifdef SCRIPT_HOST_DLL
extern "C" __declspec(dllexport) int run_code(int argc, wchar_t** argv, const wchar_t* dll_path) {
  return run_script(argc, argv, dll_path);
}
#else
int wmain(int argc, wchar_t** argv) {
  static wchar_t self[32768];
  GetModuleFileNameW(nullptr, self, 32768);
  return run_script(argc, argv, self);
}
#endif
