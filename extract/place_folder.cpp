#include "extract/place_folder.h"

#include <wchar.h>
#include <windows.h>

#include "base/fatal.h"
#include "base/limits.h"
#include "extract/payload_directory.h"

// True when something is at `path` and it is a directory (or a link to one).
static bool place_folder_is_directory(const wchar_t* path) {
  DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Units of the part of the absolute `path` that is never created: "X:" of "X:\...", and
// "\\server\share" of a UNC path ("\\?\X:" of a long one).
static size_t place_folder_root_units(const wchar_t* path) {
  if (path[0] != L'\\') return 2;
  size_t at = 2;
  for (int part = 0; part < 2; part++) {
    while (path[at] != L'\0' && path[at] != L'\\') at++;
    if (part == 0 && path[at] == L'\\') at++;
  }
  return at;
}

void place_create_folder(const wchar_t* folder) {
  // The usual case, a folder that is there: one call.
  if (place_folder_is_directory(folder)) return;
  wchar_t level[ZB_PATH_UNITS];
  // Decision: "." and ".." are resolved first, so no level is made that the path only passes
  // through. The folder fits a path buffer; its full form is never longer.
  DWORD length = GetFullPathNameW(folder, ZB_PATH_UNITS, level, /* lpFilePart */ nullptr);
  if (length == 0 || length >= ZB_PATH_UNITS) fatal_create_folder_error(folder, GetLastError());
  for (size_t at = place_folder_root_units(level) + 1; at <= length; at++) {
    if (level[at] != L'\\' && level[at] != L'\0') continue;
    // An empty level ("a\\b") is the one before it.
    if (level[at - 1] == L'\\') continue;
    wchar_t kept = level[at];
    level[at] = L'\0';
    if (!place_folder_is_directory(level)) {
      unsigned long error = payload_directory_create(level);
      // ERROR_ALREADY_EXISTS: a file in the way, or another start made the level meanwhile.
      if (error != 0 && !(error == ERROR_ALREADY_EXISTS && place_folder_is_directory(level))) {
        fatal_create_folder_error(level, error);
      }
    }
    level[at] = kept;
  }
}
