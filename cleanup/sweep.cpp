#include "cleanup/sweep.h"

#include <string.h>
#include <wchar.h>

#include "base/handle.h"
#include "base/limits.h"
#include "base/payload_mark.h"
#include "base/wide_text.h"
#include "cleanup/remove_tree.h"

static const wchar_t SWEEP_PREFIX[] = L"onefile_";
static const uint32_t SWEEP_RANDOM_UNITS = ZB_RANDOM_TEXT_UNITS - 1;


// advapi32, looked up at run time: the launcher imports only kernel32 and the runtime.
typedef BOOL(WINAPI* SweepOpenProcessToken)(HANDLE, DWORD, PHANDLE);
typedef BOOL(WINAPI* SweepGetTokenInformation)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD,
                                               PDWORD);
typedef BOOL(WINAPI* SweepGetKernelObjectSecurity)(HANDLE, SECURITY_INFORMATION,
                                                   PSECURITY_DESCRIPTOR, DWORD, LPDWORD);
typedef BOOL(WINAPI* SweepGetSecurityDescriptorOwner)(PSECURITY_DESCRIPTOR, PSID*, LPBOOL);
typedef BOOL(WINAPI* SweepEqualSid)(PSID, PSID);
typedef BOOL(WINAPI* SweepGetSecurityDescriptorDacl)(PSECURITY_DESCRIPTOR, LPBOOL, PACL*, LPBOOL);
typedef BOOL(WINAPI* SweepGetSecurityDescriptorControl)(PSECURITY_DESCRIPTOR,
                                                        PSECURITY_DESCRIPTOR_CONTROL, LPDWORD);
typedef BOOL(WINAPI* SweepGetAce)(PACL, DWORD, LPVOID*);

// BUILTIN\Administrators (S-1-5-32-544): the owner of what an elevated process creates.
static const struct {
  SID sid;
  DWORD second;
} SWEEP_ADMINISTRATORS = {{SID_REVISION, 2, SECURITY_NT_AUTHORITY, {SECURITY_BUILTIN_DOMAIN_RID}},
                          DOMAIN_ALIAS_RID_ADMINS};

struct SweepOwner {
  SweepGetKernelObjectSecurity get_security;
  SweepGetSecurityDescriptorOwner get_owner;
  SweepEqualSid equal_sid;
  SweepGetSecurityDescriptorDacl get_dacl;
  SweepGetSecurityDescriptorControl get_control;
  SweepGetAce get_ace;
  union {
    TOKEN_USER user;
    unsigned char bytes[ZB_SWEEP_TOKEN_BYTES];
  } token;
};

// Fills `owner` with the calls and this process's user. False when any of it is missing.
static bool sweep_load_owner(SweepOwner* owner) {
  HMODULE advapi = GetModuleHandleW(L"advapi32.dll");
  if (advapi == nullptr) {
    advapi = LoadLibraryExW(L"advapi32.dll", /* hFile */ nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  }
  if (advapi == nullptr) return false;
  SweepOpenProcessToken open_token =
      (SweepOpenProcessToken)(void*)GetProcAddress(advapi, "OpenProcessToken");
  SweepGetTokenInformation token_information =
      (SweepGetTokenInformation)(void*)GetProcAddress(advapi, "GetTokenInformation");
  owner->get_security =
      (SweepGetKernelObjectSecurity)(void*)GetProcAddress(advapi, "GetKernelObjectSecurity");
  owner->get_owner = (SweepGetSecurityDescriptorOwner)(void*)GetProcAddress(
      advapi, "GetSecurityDescriptorOwner");
  owner->equal_sid = (SweepEqualSid)(void*)GetProcAddress(advapi, "EqualSid");
  owner->get_dacl = (SweepGetSecurityDescriptorDacl)(void*)GetProcAddress(
      advapi, "GetSecurityDescriptorDacl");
  owner->get_control = (SweepGetSecurityDescriptorControl)(void*)GetProcAddress(
      advapi, "GetSecurityDescriptorControl");
  owner->get_ace = (SweepGetAce)(void*)GetProcAddress(advapi, "GetAce");
  if (open_token == nullptr || token_information == nullptr || owner->get_security == nullptr ||
      owner->get_owner == nullptr || owner->equal_sid == nullptr || owner->get_dacl == nullptr ||
      owner->get_control == nullptr || owner->get_ace == nullptr) {
    return false;
  }
  HANDLE token_handle = nullptr;
  if (!open_token(GetCurrentProcess(), TOKEN_QUERY, &token_handle)) return false;
  HandleOwner token(token_handle);
  DWORD needed = 0;
  BOOL got = token_information(token.get(), TokenUser, owner->token.bytes,
                               sizeof owner->token.bytes, &needed);
  return got && owner->token.user.User.Sid != nullptr;
}

// Reads decimal digits at *at into *value, moving *at past them. False when there are none or
// the value exceeds 32 bits (`limit_32`) or 20 digits.
static bool sweep_digits(const wchar_t** at, uint64_t* value, bool limit_32) {
  const wchar_t* p = *at;
  uint64_t result = 0;
  uint32_t count = 0;
  while (*p >= L'0' && *p <= L'9') {
    if (++count > 20) return false;
    result = result * 10 + (uint64_t)(*p - L'0');
    if (limit_32 && result > 0xFFFFFFFFull) return false;
    p++;
  }
  if (count == 0) return false;
  *at = p;
  *value = result;
  return true;
}

static bool sweep_is_base64url(wchar_t unit) {
  return (unit >= L'A' && unit <= L'Z') || (unit >= L'a' && unit <= L'z') ||
         (unit >= L'0' && unit <= L'9') || unit == L'-' || unit == L'_';
}

bool cleanup_sweep_name_matches(const wchar_t* name, DWORD* pid) {
  if (wcsncmp(name, SWEEP_PREFIX, wcslen(SWEEP_PREFIX)) != 0) return false;
  const wchar_t* at = name + wcslen(SWEEP_PREFIX);
  uint64_t process_id = 0;
  uint64_t time = 0;
  if (!sweep_digits(&at, &process_id, /* limit_32 */ true) || *at++ != L'_') return false;
  if (!sweep_digits(&at, &time, /* limit_32 */ false) || *at++ != L'_') return false;
  for (uint32_t i = 0; i < SWEEP_RANDOM_UNITS; i++) {
    if (!sweep_is_base64url(at[i])) return false;
  }
  if (at[SWEEP_RANDOM_UNITS] != L'\0') return false;
  *pid = (DWORD)process_id;
  return true;
}

// True only when the process `pid` has certainly ended.
static bool sweep_process_ended(DWORD pid) {
  HandleOwner process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION,
                                  /* bInheritHandle */ FALSE, pid));
  // No such process. Any other failure (access denied: another user's or a protected
  // process) may hide a launcher that still runs.
  if (!process) return GetLastError() == ERROR_INVALID_PARAMETER;
  // An existing process object keeps its id from being given to another process. Ended, it
  // is the launcher itself or a later holder of the id; either way the launcher is gone. Still
  // running, it may be the launcher.
  return WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0;
}

// True when the security descriptor `descriptor` (owner and DACL) is `owner`'s user's: owned
// by the user, or made by the user elevated: owned by the Administrators group, with the
// launcher's own protection, a protected DACL whose single entry allows the user. Decision:
// an elevated process owns what it creates through the group, which the user's unelevated
// processes cannot be; the DACL tells the launcher's directory from any other that group owns.
static bool sweep_descriptor_users(PSECURITY_DESCRIPTOR descriptor, const SweepOwner* owner) {
  PSID sid = nullptr;
  BOOL defaulted = FALSE;
  PSID user = owner->token.user.User.Sid;
  if (!owner->get_owner(descriptor, &sid, &defaulted) || sid == nullptr) return false;
  if (owner->equal_sid(sid, user)) return true;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  BOOL present = FALSE;
  PACL dacl = nullptr;
  void* ace = nullptr;
  if (!owner->equal_sid(sid, (PSID)&SWEEP_ADMINISTRATORS.sid) ||
      !owner->get_control(descriptor, &control, &revision) || !(control & SE_DACL_PROTECTED) ||
      !owner->get_dacl(descriptor, &present, &dacl, &defaulted) || !present ||
      dacl == nullptr || dacl->AceCount != 1 || !owner->get_ace(dacl, 0, &ace)) {
    return false;
  }
  ACCESS_ALLOWED_ACE* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
  return allowed->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
         owner->equal_sid((PSID)&allowed->SidStart, user);
}

// True when the object `handle` (opened with READ_CONTROL) is `owner`'s user's
// (sweep_descriptor_users). A descriptor larger than ZB_SWEEP_SECURITY_BYTES is not: the
// launcher's are far smaller.
static bool sweep_owned(HANDLE handle, const SweepOwner* owner) {
  union {
    SECURITY_DESCRIPTOR_RELATIVE header;
    unsigned char bytes[ZB_SWEEP_SECURITY_BYTES];
  } security;
  DWORD needed = 0;
  return owner->get_security(handle, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                             security.bytes, sizeof security.bytes, &needed) &&
         sweep_descriptor_users(security.bytes, owner);
}

// True when `path` is a real directory (not a link) that no one else has open and whose owner
// is this process's user. The open without sharing fails with a sharing violation while any
// other handle to the directory exists (a current directory, a listing, a watcher). It asks
// for listing access: an open for no data access at all is not checked against other handles.
static bool sweep_directory_free(const wchar_t* path, const SweepOwner* owner) {
  HandleOwner directory(CreateFileW(
      path, FILE_LIST_DIRECTORY | READ_CONTROL, /* dwShareMode */ 0,
      /* lpSecurityAttributes */ nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, /* hTemplateFile */ nullptr));
  if (!directory) return false;
  BY_HANDLE_FILE_INFORMATION info;
  // The checks are made on the object opened, not on what the listing said about the name.
  return GetFileInformationByHandle(directory.get(), &info) &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
         !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
         (info.dwFileAttributes & ZB_PAYLOAD_MARK) &&
         sweep_owned(directory.get(), owner);
}

// This process's user and the calls, loaded at the first use; null when they cannot be had.
static const SweepOwner* sweep_process_owner(void) {
  static SweepOwner owner;
  static int state = 0;  // 0 not loaded, 1 loaded, -1 unavailable
  if (state == 0) state = sweep_load_owner(&owner) ? 1 : -1;
  return state > 0 ? &owner : nullptr;
}

bool cleanup_owned_by_user(HANDLE handle) {
  const SweepOwner* owner = sweep_process_owner();
  return owner != nullptr && sweep_owned(handle, owner);
}

bool cleanup_descriptor_is_users(void* descriptor) {
  const SweepOwner* owner = sweep_process_owner();
  return owner != nullptr && sweep_descriptor_users(descriptor, owner);
}

uint32_t cleanup_sweep(const wchar_t* temp_directory, const wchar_t* own_name) {
  wchar_t path[ZB_PATH_UNITS];
  path[0] = L'\0';
  uint32_t length = 0;
  if (!wide_append_text(path, ZB_PATH_UNITS, &length, temp_directory) ||
      !wide_append_units(path, ZB_PATH_UNITS, &length, L'\\', 1)) {
    return 0;
  }
  uint32_t pattern_length = length;
  if (!wide_append_text(path, ZB_PATH_UNITS, &pattern_length, SWEEP_PREFIX) ||
      !wide_append_units(path, ZB_PATH_UNITS, &pattern_length, L'*', 1)) {
    return 0;
  }
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(path, &found);
  if (find == INVALID_HANDLE_VALUE) return 0;

  SweepOwner owner;
  // Loaded at the first candidate only: most starts find nothing to sweep.
  int owner_state = 0;  // 0 not loaded, 1 loaded, -1 unavailable
  uint32_t removed = 0;
  do {
    DWORD pid = 0;
    const wchar_t* name = found.cFileName;
    if (!cleanup_sweep_name_matches(name, &pid)) continue;
    if (_wcsicmp(name, own_name) == 0) continue;
    // A link is neither entered nor removed; a file of that name is not ours either.
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      continue;
    }
    // Only what the launcher created: a directory of that name without its mark is a user's.
    if (!(found.dwFileAttributes & ZB_PAYLOAD_MARK)) continue;
    if (!sweep_process_ended(pid)) continue;
    path[length] = L'\0';
    uint32_t entry_length = length;
    if (!wide_append_text(path, ZB_PATH_UNITS, &entry_length, name)) continue;
    if (owner_state == 0) owner_state = sweep_load_owner(&owner) ? 1 : -1;
    if (owner_state < 0) break;
    if (!sweep_directory_free(path, &owner)) continue;
    if (cleanup_remove_tree(path)) removed++;
  } while (FindNextFileW(find, &found));
  FindClose(find);
  return removed;
}

static DWORD WINAPI sweep_thread_main(LPVOID context) {
  Sweep* sweep = static_cast<Sweep*>(context);
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
  cleanup_sweep(sweep->temp, sweep->own);
  if (sweep->also[0] != L'\0') cleanup_sweep(sweep->also, sweep->own);
  return 0;
}

void cleanup_sweep_start(Sweep* sweep, const wchar_t* payload_directory, const wchar_t* also) {
  uint32_t length = 0;
  uint32_t also_length = 0;
  sweep->temp[0] = L'\0';
  sweep->also[0] = L'\0';
  if (also != nullptr && !wide_append_text(sweep->also, ZB_PATH_UNITS, &also_length, also)) {
    sweep->also[0] = L'\0';
  }
  if (!wide_append_text(sweep->temp, ZB_PATH_UNITS, &length, payload_directory)) return;
  wchar_t* last = wcsrchr(sweep->temp, L'\\');
  if (last == nullptr) return;
  uint32_t own_length = 0;
  sweep->own[0] = L'\0';
  if (!wide_append_text(sweep->own, ZB_PATH_UNITS, &own_length, last + 1)) return;
  *last = L'\0';
  if (_wcsicmp(sweep->also, sweep->temp) == 0) sweep->also[0] = L'\0';
  // The thread's handles (listing, directory) are not inheritable, so the child started at
  // the same time gets none of them.
  thread_start(&sweep->thread, sweep_thread_main, sweep, ZB_SWEEP_STACK_BYTES);
}

void cleanup_sweep_join(Sweep* sweep) {
  thread_join(&sweep->thread, ZB_SWEEP_JOIN_MS);
}
