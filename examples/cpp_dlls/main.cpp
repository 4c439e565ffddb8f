// A packed C++ application linked against libstdc++'s DLLs, which are packed beside it:
// prints its arguments (after element 0) sorted, and where each runtime DLL was loaded from.
// Exit code: the number of arguments.
#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include <zobrin/app.h>

namespace {

// The directory of a loaded module, or "" when it is not loaded.
std::wstring module_directory(const wchar_t* name) {
  HMODULE module = GetModuleHandleW(name);
  if (module == nullptr) return L"";
  std::vector<wchar_t> path(32768);
  DWORD n = GetModuleFileNameW(module, path.data(), (DWORD)path.size());
  if (n == 0 || n >= path.size()) return L"";
  std::wstring text(path.data(), n);
  return text.substr(0, text.rfind(L'\\'));
}

}  // namespace

int run_code(int argc, wchar_t** argv, const wchar_t* dll_path) {
  char** args = zobrin_args_utf8(argc, argv);
  if (args == nullptr) return -1;
  std::vector<std::string> words(args + 1, args + argc);
  free(args);
  std::sort(words.begin(), words.end());
  std::cout << "sorted " << words.size() << " arguments:";
  for (const std::string& word : words) std::cout << ' ' << word;
  std::cout << '\n';

  wchar_t* own = zobrin_app_dir(dll_path);
  std::wstring app_dir = own != nullptr ? own : L"";
  free(own);
  for (const wchar_t* dll : {L"libstdc++-6.dll", L"libgcc_s_seh-1.dll", L"libwinpthread-1.dll"}) {
    std::wstring dir = module_directory(dll);
    const char* where = dir.empty() ? "not loaded"
                        : lstrcmpiW(dir.c_str(), app_dir.c_str()) == 0 ? "the application directory"
                                                                        : "elsewhere";
    char* name = zobrin_utf8(dll);
    std::cout << name << ": " << where << '\n';
    free(name);
  }
  // std::cout lives in libstdc++-6.dll and buffers in msvcrt.dll, not in the Universal CRT:
  // flush it before returning.
  std::cout.flush();
  return (int)words.size();
}
