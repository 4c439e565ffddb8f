#include "paths/shell.h"

#include <shlobj.h>

typedef wchar_t** (WINAPI* shell_argv_fn)(const wchar_t* line, int* count);
typedef HRESULT (WINAPI* shell_folder_fn)(HWND hwnd, int folder, HANDLE token, DWORD flags,
                                          wchar_t* path);

static bool shell_tried = false;
static shell_argv_fn shell_argv = nullptr;
static shell_folder_fn shell_folder = nullptr;

// Decision: shell32 is loaded at run time, not imported. Importing it brings user32, gdi32
// and their start-up into every process of the launcher, the child included, which needs
// neither service; under Wine that start-up costs tens of milliseconds per process.
bool shell_load(void) {
  if (!shell_tried) {
    shell_tried = true;
    HMODULE module = LoadLibraryExW(L"shell32.dll", /* hFile */ nullptr,
                                    LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module != nullptr) {
      shell_argv = (shell_argv_fn)(void*)GetProcAddress(module, "CommandLineToArgvW");
      shell_folder = (shell_folder_fn)(void*)GetProcAddress(module, "SHGetFolderPathW");
    }
  }
  return shell_argv != nullptr && shell_folder != nullptr;
}

wchar_t** shell_command_line_to_argv(const wchar_t* line, int* count) {
  shell_load();
  if (shell_argv == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return shell_argv(line, count);
}

HRESULT shell_folder_path(int folder_id, wchar_t* path) {
  shell_load();
  if (shell_folder == nullptr) return E_FAIL;
  return shell_folder(/* hwnd */ nullptr, folder_id, /* hToken */ nullptr,
                      /* dwFlags */ SHGFP_TYPE_CURRENT, path);
}
