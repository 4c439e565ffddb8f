// Extraction: the payload walk that writes every entry below the payload directory.
#pragma once

#include <stdint.h>

// Holds the payload directory, "\" and the current entry's name.
extern wchar_t extract_target_path[];

// Walks the opened payload. Parent role: writes every entry, then finishes the reader, and
// returns. Child role: stops at the first entry once its target path is in the application
// DLL path, and returns. Fatal: header, decode, open and write errors; "{HOME}" that cannot
// be expanded; a payload directory too long to take "\" (abort).
void extract_walk(bool parent_role);

// Creates the directories above the file `path` that are missing, going up only as far as
// the first directory that exists or is known. Fatal (abort): a path of 4096 units or more.
void extract_make_parent_directories(const wchar_t* path);

// True when the directory `path` exists afterwards (created, found or known). Fatal: "{HOME}"
// that cannot be expanded on the first call.
bool extract_make_directory(const wchar_t* path);

// CreateDirectoryW calls made so far, for tests.
extern uint32_t extract_create_directory_calls;
