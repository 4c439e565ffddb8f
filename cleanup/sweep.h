// Removal of payload directories that killed launchers left behind in the temporary
// directory (or the chosen folder). A parent that is killed never removes its own directory;
// a later parent does. Nothing the launcher did not create is removed: its name and its mark.
#pragma once

#include <stdint.h>
#include <windows.h>

#include "base/handle.h"
#include "base/limits.h"
#include "base/thread.h"

// One sweep on a thread of its own: its thread and the work it was given, written before the
// thread exists.
struct Sweep {
  Thread thread;
  wchar_t temp[ZB_PATH_UNITS];
  wchar_t own[ZB_PATH_UNITS];
  // A second directory swept after the first (empty: none).
  wchar_t also[ZB_PATH_UNITS];
};

// Starts cleanup_sweep on a thread of its own (below normal priority) over the directory that
// holds `payload_directory`, sparing that one, then over `also` when it is not null, not empty
// and another directory (the temporary directory, when the run extracts to a folder of its
// choice). Nothing happens when the thread cannot be created. Call once per `sweep`, in the
// parent role, once the payload directory is final.
void cleanup_sweep_start(Sweep* sweep, const wchar_t* payload_directory,
                         const wchar_t* also = nullptr);

// Waits for the sweep `sweep` started by cleanup_sweep_start, if any, at most ZB_SWEEP_JOIN_MS; a
// sweep still running then (a large leftover tree) ends with the process, and whatever it has
// not removed yet stays for a later sweep. Never fatal.
void cleanup_sweep_join(Sweep* sweep);

// True when `name` is exactly "onefile_<digits>_<digits>_<11 base64url characters>", the
// name the launcher gives its payload directory; *pid is then the first number. A number
// over 32 bits does not match.
bool cleanup_sweep_name_matches(const wchar_t* name, DWORD* pid);

// Removes (cleanup_remove_tree) every directory directly in `temp_directory` (at most
// ZB_PATH_UNITS - 1 units) whose name matches, that is not named `own_name`, that is a real
// directory (not a link) carrying the launcher's mark (base/payload_mark.h), whose process
// has ended or no longer exists, that the current user owns and that no process holds open.
// Anything in doubt is kept: a process that still runs or cannot be asked, an owner that
// cannot be read, a directory that cannot be opened alone.
// The number of directories removed completely. Never fatal; prints nothing.
uint32_t cleanup_sweep(const wchar_t* temp_directory, const wchar_t* own_name);

// True when the object `handle` (opened with READ_CONTROL) is this process's user's: its owner
// is the user, or (made by the user elevated) the Administrators group with a protected DACL
// whose one entry allows the user; false for anything else or what cannot be read. Main
// thread only. Never fatal.
bool cleanup_owned_by_user(HANDLE handle);

// The same decision on a security descriptor holding an owner and a DACL (self-relative or
// absolute).
bool cleanup_descriptor_is_users(void* descriptor);
