#include "paths/shell.h"

#include <shlobj.h>

typedef HRESULT (WINAPI* shell_folder_fn)(HWND hwnd, int folder, HANDLE token, DWORD flags,
                                          wchar_t* path);

// shell32's folder lookup, once loaded.
struct ShellFolder {
  bool tried;
  shell_folder_fn path;
};
static ShellFolder shell_folder = {false, nullptr};

// Decision: shell32 is loaded at run time, on the first folder asked for, not imported.
// Importing it brings user32, gdi32 and their start-up into every process of the launcher,
// which an ordinary run never needs; under Wine that start-up costs tens of milliseconds per
// process. It also brings msvcrt.dll: a runtime loaded this late takes the process
// environment as it stands then, so the changes made before reach it all the same.
static void shell_load(void) {
  if (shell_folder.tried) return;
  shell_folder.tried = true;
  HMODULE module = LoadLibraryExW(L"shell32.dll", /* hFile */ nullptr,
                                  LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module != nullptr) {
    shell_folder.path = (shell_folder_fn)(void*)GetProcAddress(module, "SHGetFolderPathW");
  }
}

HRESULT shell_folder_path(int folder_id, wchar_t* path) {
  shell_load();
  if (shell_folder.path == nullptr) return E_FAIL;
  return shell_folder.path(/* hwnd */ nullptr, folder_id, /* hToken */ nullptr,
                      /* dwFlags */ SHGFP_TYPE_CURRENT, path);
}
