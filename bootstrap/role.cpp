#include "bootstrap/role.h"

#include <errno.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>
#include <psapi.h>

#include "base/fatal.h"
#include "base/limits.h"
#include "paths/env.h"
#include "paths/path_utils.h"

bool role_started_by_parent(wchar_t* scratch, uint32_t capacity) {
  if (capacity < ZB_ENV_VALUE_UNITS) fatal_bounds_abort();
  scratch[0] = L'\0';
  DWORD length = GetEnvironmentVariableW(ENV_PARENT, scratch, ZB_ENV_VALUE_UNITS);
  if (length < 1 || length > ZB_ENV_VALUE_UNITS - 1) return false;
  wchar_t* copy = _wcsdup(scratch);
  if (copy == nullptr || copy[0] == L'\0') return false;
  errno = 0;
  wchar_t* end = nullptr;
  long id = wcstol(copy, &end, 10);
  if (errno == ERANGE || end == copy || *end != L'\0') return false;

  HANDLE parent = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ,
                               /* bInheritHandle */ FALSE, (DWORD)id);
  if (parent == nullptr) return false;
  bool same = false;
  if (K32GetModuleFileNameExW(parent, /* hModule */ nullptr, scratch, ZB_PARENT_IMAGE_UNITS) != 0) {
    path_normalize_resolved(scratch, ZB_PARENT_IMAGE_UNITS);
    same = wcscmp(scratch, path_own_executable_resolved()) == 0;
  }
  CloseHandle(parent);
  return same;
}
