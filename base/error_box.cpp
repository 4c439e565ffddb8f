#include "base/error_box.h"

#include <wchar.h>

#include "base/own_image.h"

typedef HWINSTA(WINAPI* error_box_window_station)(void);
typedef BOOL(WINAPI* error_box_object_information)(HANDLE, int, PVOID, DWORD, LPDWORD);
typedef int(WINAPI* error_box_message_box)(HWND, LPCWSTR, LPCWSTR, UINT);

static HMODULE error_box_user32(void) {
  return LoadLibraryExW(L"user32.dll", /* hFile */ nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// True when the handle is none: null, INVALID_HANDLE_VALUE, or one the system does not know.
static bool error_box_handle_missing(DWORD which) {
  HANDLE handle = GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return true;
  SetLastError(NO_ERROR);
  return GetFileType(handle) == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR;
}

// True on the interactive window station of a user's session.
static bool error_box_interactive(void) {
  DWORD session = 0;
  // Services run in session 0, where no user sees a window.
  if (!ProcessIdToSessionId(GetCurrentProcessId(), &session) || session == 0) return false;
  HMODULE user = error_box_user32();
  if (user == nullptr) return false;
  error_box_window_station station =
      (error_box_window_station)(void*)GetProcAddress(user, "GetProcessWindowStation");
  error_box_object_information information =
      (error_box_object_information)(void*)GetProcAddress(user, "GetUserObjectInformationW");
  if (station == nullptr || information == nullptr) return false;
  HWINSTA own = station();
  wchar_t name[64];
  DWORD needed = 0;
  if (own == nullptr ||
      !information(own, UOI_NAME, name, (DWORD)sizeof name, &needed)) {
    return false;
  }
  name[sizeof name / sizeof name[0] - 1] = L'\0';
  return _wcsicmp(name, L"WinSta0") == 0;
}

bool error_box_due(DWORD which) {
  return own_image_is_windowed() && error_box_handle_missing(which) && error_box_interactive();
}

void error_box_show(const wchar_t* line) {
  HMODULE user = error_box_user32();
  if (user == nullptr) return;
  error_box_message_box message_box =
      (error_box_message_box)(void*)GetProcAddress(user, "MessageBoxW");
  if (message_box == nullptr) return;
  wchar_t title[MAX_PATH];
  if (!own_image_file_name(title, MAX_PATH)) wcscpy(title, L"Error");
  message_box(/* hWnd */ nullptr, line, title, MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
}
