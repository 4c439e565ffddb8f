#include "paths/shell.h"

#include <shlobj.h>

typedef HRESULT (WINAPI* shell_folder_fn)(HWND hwnd, int folder, HANDLE token, DWORD flags,
                                          wchar_t* path);

// Decision: shell32 is loaded at run time, on the first folder asked for, not imported.
// Importing it brings user32, gdi32 and their start-up into every process of the launcher,
// which an ordinary run never needs; under Wine that start-up costs tens of milliseconds per
// process. It also brings msvcrt.dll: a runtime loaded this late takes the process
// environment as it stands then, so the changes made before reach it all the same. A later
// call finds the library loaded (a process asks for a folder once or twice), so nothing is
// kept between calls.
HRESULT shell_folder_path(int folder_id, wchar_t* path) {
  HMODULE module = LoadLibraryExW(L"shell32.dll", /* hFile */ nullptr,
                                  LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr) return E_FAIL;
  shell_folder_fn lookup = (shell_folder_fn)(void*)GetProcAddress(module, "SHGetFolderPathW");
  if (lookup == nullptr) return E_FAIL;
  return lookup(/* hwnd */ nullptr, folder_id, /* hToken */ nullptr,
                /* dwFlags */ SHGFP_TYPE_CURRENT, path);
}
