// The payload directory as the parent creates it: new, and open to the current user only.
#pragma once

#include <windows.h>

// A security descriptor and the buffers it points into.
struct PayloadDirectorySecurity {
  SECURITY_DESCRIPTOR descriptor;
  // TOKEN_USER and a SID of at most SECURITY_MAX_SID_SIZE bytes.
  alignas(8) unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  // The ACL header and one access-allowed entry holding that SID.
  alignas(8) unsigned char acl[sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE];
};

// Builds in `security` a descriptor whose protected DACL holds one entry: full control
// (FILE_ALL_ACCESS) for the user of this process's token, inherited by files and directories
// below (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE). The functions are looked up at run time,
// in kernelbase, else in advapi32. Returns 0, or the system's code when the functions, the
// token or the descriptor cannot be had.
unsigned long payload_directory_security(PayloadDirectorySecurity* security);

// Creates the directory `path` with the descriptor above. Never uses what is already there.
// Returns 0, or the error: ERROR_ALREADY_EXISTS when anything is at the path, the
// descriptor's error, or the creation's own.
unsigned long payload_directory_create(const wchar_t* path);

// Creates the directory `path` new, as payload_directory_create does, and gives it the
// launcher's mark (base/payload_mark.h). A path that is taken (by anyone, for any reason) is
// never used: RANDOM is unset and `redraw(context)` writes a fresh
// path into `path` from the template (so the child, which expands it from the inherited
// variables, finds the same one). Fatal: no free path after ZB_PAYLOAD_DIRECTORY_TRIES draws,
// or any other failure to create it.
void payload_directory_create_new(const wchar_t* path, void (*redraw)(void* context),
                                  void* context);
