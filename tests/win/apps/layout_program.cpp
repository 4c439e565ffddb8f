// An ordinary program laid out as many are: itself in bin\ beside the C++ runtime's DLLs (it
// is linked against them, not statically), its data in share\ beside bin\. Prints the data
// file's first line and exits with code 7; 3 when the data cannot be read.
#include <windows.h>

#include <iostream>
#include <string>

int wmain() {
  std::wstring path(32768, L'\0');
  DWORD n = GetModuleFileNameW(nullptr, &path[0], (DWORD)path.size());
  path.resize(n);
  path = path.substr(0, path.rfind(L'\\'));
  path = path.substr(0, path.rfind(L'\\')) + L"\\share\\greeting.txt";
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 3;
  std::string data(4096, '\0');
  DWORD got = 0;
  ReadFile(file, &data[0], (DWORD)data.size(), &got, nullptr);
  CloseHandle(file);
  data.resize(got);
  std::cout << "layout program: " << data.substr(0, data.find('\n')) << std::endl;
  return 7;
}
