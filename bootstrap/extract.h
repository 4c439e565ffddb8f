// Extraction: the payload walk that writes every entry below the payload directory.
#pragma once

#include <stdint.h>

// Parent role: walks the opened payload, writes every entry below run_state's payload
// directory, then finishes the reader. Each finished file goes to the closer
// (cleanup/file_closer.h); the walk returns once every file is closed and the closer's
// thread has ended. Every creation, write and hand-over passes the gate (cleanup/gate.h):
// after an interrupt the walk stops at its next one and does not return.
// Fatal: header, decode, open and write errors; "{HOME}" that cannot be expanded; a payload
// directory too long to take "\" (abort).
void extract_walk(void);

// Stops the read-ahead, closes the file extraction is writing, if any (and unless the
// console handler closed it), and waits for the closer to close every file handed to it, so
// that they can be deleted. Main thread only; for the clean-up before a fatal exit.
void extract_release_file(void);

// Child role: reads the first entry of the opened payload and puts its target path into
// run_state.dll_path. Its flags are not looked at beyond the reader's checks, and nothing is
// created. Fatal: header error (an empty table too, or a name that does not fit); a payload
// directory too long to take "\" (abort).
void extract_dll_path(void);

// True when an entry name (`units` little-endian UTF-16 units, not NUL-terminated) stays
// below the payload directory: its "\"-separated components are none of empty, "." or ".."
// (nor any other run of dots and spaces), and it holds no "/" and no ":". The walk and the
// child's step refuse any other name with the header error before creating anything.
bool extract_name_stays_inside(const unsigned char* name, uint32_t units);

// Walks the opened payload's whole table before anything is written and leaves its position
// at the first entry. Fatal: header error for a name with a device name among its components
// (NUL.txt) and for two names Windows takes for one (the same name twice, or equal but for
// case: one file would replace the other); allocation error.
void extract_check_names(void);

// Builds `directory`, "\" and an entry's name (`units` units, little-endian, in the table)
// into `target` (capacity ZB_PATH_UNITS). Fatal: abort when `directory` cannot take "\";
// header error when the name does not fit.
void extract_build_target(wchar_t* target, const wchar_t* directory, const unsigned char* name,
                          uint32_t units);

// Creates the directories above the file `path` that are missing, going up only as far as
// the first directory that exists or is known. Fatal (abort): a path of 4096 units or more.
void extract_make_parent_directories(const wchar_t* path);

// True when the directory `path` exists afterwards (created, found or known; the payload
// directory always counts as known). Fatal: "{HOME}" that cannot be expanded, on the first
// call with a path outside the payload directory.
bool extract_make_directory(const wchar_t* path);

#ifdef ZOBRIN_TESTING
// CreateDirectoryW calls made so far, for tests.
extern uint32_t extract_create_directory_calls;
// Expansions of "{HOME}" made so far, for tests.
extern uint32_t extract_home_expansions;
// False: the walk decodes alone, without the read-ahead (true by default).
extern bool extract_read_ahead;
// The index of the entry (in table order) whose last write fails as if the disk were full;
// UINT32_MAX for none.
extern uint32_t extract_fail_write_entry;
#endif
