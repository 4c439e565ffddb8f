#include "run/role.h"

#include <errno.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include "base/fatal.h"
#include "base/handle.h"
#include "base/limits.h"
#include "paths/env.h"
#include "paths/path_utils.h"

DWORD role_creator_id(void) {
  HandleOwner snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, /* th32ProcessID */ 0));
  if (!snapshot) return 0;
  DWORD own = GetCurrentProcessId();
  DWORD creator = 0;
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (entry.th32ProcessID == own) {
      creator = entry.th32ParentProcessID;
      break;
    }
  }
  return creator;
}

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

  HandleOwner parent(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ,
                                 /* bInheritHandle */ FALSE, (DWORD)id));
  bool compared = false;
  bool same = false;
  if (parent) {
    // The same capacity as the own path: any path this executable can run from is read whole.
    DWORD image_length = K32GetModuleFileNameExW(parent.get(), /* hModule */ nullptr, scratch,
                                                 ZB_OWN_PATH_UNITS);
    if (image_length != 0 && image_length < ZB_OWN_PATH_UNITS) {
      compared = true;
      // Decision: a launcher starts its child by its own module path, so the two texts are
      // normally the same, and then so are their resolved forms; only texts that differ are
      // resolved (each resolution opens the file and shortens its directory: about 0.3 ms
      // under Wine).
      wchar_t own[ZB_OWN_PATH_UNITS];
      path_module_file_name(own, ZB_OWN_PATH_UNITS);
      same = wcscmp(scratch, own) == 0;
      if (!same) {
        path_normalize_resolved(scratch, ZB_OWN_PATH_UNITS);
        path_own_executable_resolved(own);
        same = wcscmp(scratch, own) == 0;
      }
    }
  }
  if (compared) return same;
  // Decision: a process that cannot be compared (not openable, image not readable) but that
  // created this one is taken as the parent. A launcher sets ZOBRIN_ONEFILE_PARENT to its own
  // id and then starts only its own executable, so this is its child; taking the parent role
  // here would start another child, which would meet the same failure, without end.
  DWORD creator = role_creator_id();
  return creator != 0 && creator == (DWORD)id;
}
