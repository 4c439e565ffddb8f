// Stands in for a mingw-w64 linker driver when zobrin-pack.exe runs under Wine, where the real
// one (a Linux program) cannot be started: writes its arguments, one a line in UTF-8, to the
// file FAKE_LINKER_ARGS names, writes "linked" to the -o file and exits with FAKE_LINKER_EXIT
// (0 when unset). Exit 100 when it has no -o or FAKE_LINKER_ARGS, 101 when a file fails.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string utf8(const wchar_t* text) {
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string out(bytes > 0 ? bytes - 1 : 0, '\0');
  if (bytes > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], bytes, nullptr, nullptr);
  return out;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const wchar_t* output = nullptr;
  for (int i = 1; i + 1 < argc; i++) {
    if (std::wstring(argv[i]) == L"-o") output = argv[i + 1];
  }
  const wchar_t* args_path = _wgetenv(L"FAKE_LINKER_ARGS");
  if (!output || !args_path) return 100;
  FILE* args = _wfopen(args_path, L"wb");
  FILE* linked = _wfopen(output, L"wb");
  if (!args || !linked) return 101;
  for (int i = 0; i < argc; i++) std::fprintf(args, "%s\n", utf8(argv[i]).c_str());
  std::fputs("linked", linked);
  std::fclose(args);
  std::fclose(linked);
  const wchar_t* code = _wgetenv(L"FAKE_LINKER_EXIT");
  return code ? _wtoi(code) : 0;
}
