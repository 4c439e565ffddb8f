#include "base/own_image.h"

#include <wchar.h>
#include <windows.h>

#include "base/limits.h"
#include "base/wide_text.h"

bool own_image_is_windowed(void) {
  const unsigned char* image = reinterpret_cast<const unsigned char*>(GetModuleHandleW(nullptr));
  const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
  const IMAGE_NT_HEADERS64* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(image + dos->e_lfanew);
  return nt->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_GUI;
}

bool own_image_file_name(wchar_t* name, uint32_t capacity) {
  wchar_t path[ZB_PATH_UNITS];
  name[0] = L'\0';
  DWORD length = GetModuleFileNameW(/* hModule */ nullptr, path, ZB_PATH_UNITS);
  if (length == 0 || length >= ZB_PATH_UNITS) return false;
  const wchar_t* last = wcsrchr(path, L'\\');
  uint32_t at = 0;
  if (wide_append_text(name, capacity, &at, last != nullptr ? last + 1 : path)) return true;
  name[0] = L'\0';
  return false;
}
