#include "extract/payload_directory.h"

#include <windows.h>

#include "base/fatal.h"
#include "base/handle.h"
#include "base/limits.h"
#include "base/payload_mark.h"
#include "paths/env.h"

typedef BOOL(WINAPI* directory_open_process_token)(HANDLE, DWORD, PHANDLE);
typedef BOOL(WINAPI* directory_get_token_information)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID,
                                                       DWORD, PDWORD);
typedef DWORD(WINAPI* directory_get_length_sid)(PSID);
typedef BOOL(WINAPI* directory_initialize_acl)(PACL, DWORD, DWORD);
typedef BOOL(WINAPI* directory_add_ace)(PACL, DWORD, DWORD, DWORD, PSID);
typedef BOOL(WINAPI* directory_initialize_descriptor)(PSECURITY_DESCRIPTOR, DWORD);
typedef BOOL(WINAPI* directory_set_dacl)(PSECURITY_DESCRIPTOR, BOOL, PACL, BOOL);
typedef BOOL(WINAPI* directory_set_control)(PSECURITY_DESCRIPTOR, SECURITY_DESCRIPTOR_CONTROL,
                                            SECURITY_DESCRIPTOR_CONTROL);

// The functions the descriptor needs, looked up at run time: the executable imports only
// kernel32.
struct DirectorySecurityCalls {
  directory_open_process_token open_process_token;
  directory_get_token_information get_token_information;
  directory_get_length_sid get_length_sid;
  directory_initialize_acl initialize_acl;
  directory_add_ace add_ace;
  directory_initialize_descriptor initialize_descriptor;
  directory_set_dacl set_dacl;
  directory_set_control set_control;
};

// Fills `calls` from `module`; false (with the last error set) when one function is missing.
static bool directory_look_up(HMODULE module, DirectorySecurityCalls* calls) {
  calls->open_process_token =
      (directory_open_process_token)(void*)GetProcAddress(module, "OpenProcessToken");
  calls->get_token_information =
      (directory_get_token_information)(void*)GetProcAddress(module, "GetTokenInformation");
  calls->get_length_sid = (directory_get_length_sid)(void*)GetProcAddress(module, "GetLengthSid");
  calls->initialize_acl = (directory_initialize_acl)(void*)GetProcAddress(module, "InitializeAcl");
  calls->add_ace = (directory_add_ace)(void*)GetProcAddress(module, "AddAccessAllowedAceEx");
  calls->initialize_descriptor = (directory_initialize_descriptor)(void*)GetProcAddress(
      module, "InitializeSecurityDescriptor");
  calls->set_dacl =
      (directory_set_dacl)(void*)GetProcAddress(module, "SetSecurityDescriptorDacl");
  calls->set_control =
      (directory_set_control)(void*)GetProcAddress(module, "SetSecurityDescriptorControl");
  return calls->open_process_token != nullptr && calls->get_token_information != nullptr &&
         calls->get_length_sid != nullptr && calls->initialize_acl != nullptr &&
         calls->add_ace != nullptr && calls->initialize_descriptor != nullptr &&
         calls->set_dacl != nullptr && calls->set_control != nullptr;
}

// Fills `calls`; false (with the last error set) when neither library has them all.
// Decision: kernelbase first, which every process has loaded and which exports them on
// Windows 8 and later and under Wine; advapi32 (about 2 ms to load under Wine) only when one
// is missing there, as on Windows 7.
static bool directory_find_calls(DirectorySecurityCalls* calls) {
  HMODULE kernelbase = GetModuleHandleW(L"kernelbase.dll");
  if (kernelbase != nullptr && directory_look_up(kernelbase, calls)) return true;
  HMODULE advapi = LoadLibraryExW(L"advapi32.dll", /* hFile */ nullptr,
                                  LOAD_LIBRARY_SEARCH_SYSTEM32);
  return advapi != nullptr && directory_look_up(advapi, calls);
}

// Reads the token user into `user` (capacity `capacity` bytes); false with the last error set.
static bool directory_token_user(const DirectorySecurityCalls* calls, void* user,
                                 DWORD capacity) {
  HANDLE token_handle = nullptr;
  if (!calls->open_process_token(GetCurrentProcess(), TOKEN_QUERY, &token_handle)) return false;
  // The owner keeps the last error across the close.
  HandleOwner token(token_handle);
  DWORD needed = 0;
  return calls->get_token_information(token.get(), TokenUser, user, capacity, &needed) != FALSE;
}

unsigned long payload_directory_security(PayloadDirectorySecurity* security) {
  DirectorySecurityCalls calls;
  if (!directory_find_calls(&calls)) {
    DWORD error = GetLastError();
    return error != 0 ? error : ERROR_PROC_NOT_FOUND;
  }
  if (!directory_token_user(&calls, security->user, sizeof security->user)) return GetLastError();
  PSID sid = reinterpret_cast<TOKEN_USER*>(security->user)->User.Sid;
  // The entry's header and mask, then the SID in place of SidStart; DWORD-aligned.
  DWORD acl_size = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) +
                   calls.get_length_sid(sid);
  acl_size = (acl_size + 3) & ~3u;
  if (acl_size > sizeof security->acl) return ERROR_INSUFFICIENT_BUFFER;
  PACL acl = reinterpret_cast<PACL>(security->acl);
  SECURITY_DESCRIPTOR* descriptor = &security->descriptor;
  if (!calls.initialize_acl(acl, acl_size, ACL_REVISION) ||
      !calls.add_ace(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                     FILE_ALL_ACCESS, sid) ||
      !calls.initialize_descriptor(descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !calls.set_dacl(descriptor, /* bDaclPresent */ TRUE, acl, /* bDaclDefaulted */ FALSE) ||
      // Protected: nothing is inherited from the temporary directory above.
      !calls.set_control(descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
    return GetLastError();
  }
  return 0;
}

unsigned long payload_directory_create(const wchar_t* path) {
  PayloadDirectorySecurity security;
  unsigned long error = payload_directory_security(&security);
  if (error != 0) return error;
  SECURITY_ATTRIBUTES attributes;
  attributes.nLength = sizeof attributes;
  attributes.lpSecurityDescriptor = &security.descriptor;
  attributes.bInheritHandle = FALSE;
  // Fails with ERROR_ALREADY_EXISTS for anything at the path (a directory, a file, a link):
  // what someone else put there is never used.
  if (!CreateDirectoryW(path, &attributes)) return GetLastError();
  return 0;
}

void payload_directory_create_new(const wchar_t* path, void (*redraw)(void* context),
                                  void* context) {
  for (uint32_t attempt = 1;; attempt++) {
    unsigned long error = payload_directory_create(path);
    if (error == 0) {
      // Decision: a mark that cannot be set is not fatal: only a sweep after a killed run
      // then keeps the directory. The attributes become the mark alone (compression and
      // encryption, which this call does not change, stay as the parent gave them).
      SetFileAttributesW(path, ZB_PAYLOAD_MARK);
      return;
    }
    if (error != ERROR_ALREADY_EXISTS || attempt == ZB_PAYLOAD_DIRECTORY_TRIES) {
      fatal_create_directory_error(path, error);
    }
    env_set_for_children(ENV_RANDOM, /* value: remove */ nullptr);
    redraw(context);
  }
}
