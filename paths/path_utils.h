// The own executable path, and the steps that bring two names of one file to one text.
#pragma once

#include <stdint.h>

// The executable's path with the short-directory step applied, links not resolved, into
// `buffer` (ZB_OWN_PATH_UNITS units). Fatal (abort) as path_module_file_name.
void path_own_executable(wchar_t* buffer);

// The executable's path after the resolving final-path step and the short-directory step,
// into `buffer` (ZB_OWN_PATH_UNITS units). Fatal (abort) as path_module_file_name.
void path_own_executable_resolved(wchar_t* buffer);

// The executable's own path as the system gives it (GetModuleFileNameW), into `buffer`
// (capacity `capacity` units). Fatal (abort): the system gives no path, or one that does not
// fit.
void path_module_file_name(wchar_t* buffer, uint32_t capacity);

// In place on the NUL-terminated `path` (capacity `capacity` units). Not resolving: only
// checks the length. Resolving: replaces the text by the system's final path of the file
// (links resolved), then drops a "\\?\" before a drive letter and turns "\\?\UNC\" into
// "\\". A file that cannot be opened, or a final path the system cannot give, leaves the
// text unchanged. Fatal (abort): a text of `capacity` units or more, a final path that does
// not fit.
void path_final_step(wchar_t* path, uint32_t capacity, bool resolve);

// The prefix rules of the resolving step on their own: "\\?\X:..." loses its first four
// units, then "\\?\UNC\server..." becomes "\\server...". Other texts stay as they are.
void path_drop_long_prefix(wchar_t* path);

// In place: the part before the last backslash (the whole text when there is none) is
// replaced by its short form, when the system gives one; the file name after it stays.
// Fatal (abort): a text, short form or re-assembled path that does not fit `capacity`, or
// memory for the short form or the file name cannot be allocated.
void path_short_directory(wchar_t* path, uint32_t capacity);

// The resolving final-path step, then the short-directory step: two names of one file come
// out as one text.
void path_normalize_resolved(wchar_t* path, uint32_t capacity);
