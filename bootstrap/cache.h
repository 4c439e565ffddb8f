// The cached mode (an executable packed with `zobrin-pack exe --cache`): the payload directory
// is "{CACHE_DIR}\zobrin-onefile\<executable base name>-<content key, 16 hex digits>", kept
// between runs. A run that finds it incomplete extracts into a private sibling
// "<directory>.<PID>_<TIME_US>_<RANDOM>" and moves that into place with one rename. Beside it,
// "<directory>.lock" is held open (shared) by every running parent of that version; a start
// that can open another version's lock exclusively removes that version.
#pragma once

// Both roles: computes the cache directory and this run's sibling (from PID, TIME_US and
// RANDOM, drawn and published when unset, as for the temporary directory). Fatal: a cache
// folder or template that cannot be expanded; abort when a path does not fit.
void cache_compute_paths(void);

// Child role: puts into run_state.payload_directory the directory the parent prepared: the
// sibling when it still exists (the parent could not move it into place and runs from it),
// else the cache directory. Holds the version's lock (shared) for the rest of the process
// when it exists; creates nothing.
void cache_choose_child_directory(void);

// Either role: the same choice without the lock, for the program mode's parent once its copy
// is in place (or kept as the sibling). Creates nothing.
void cache_choose_directory(void);

// Parent role, with the payload opened: creates the cache root directories (owner-only),
// takes the lock (after removing leftovers of killed runs of this version when no other run
// holds it) and checks that every file of the table is in the cache directory with its size,
// without decoding. The table position is back at the first entry afterwards. True when the
// copy is whole. Fatal: header error for a name that would leave the directory, or an entry
// with a second string; a root directory that cannot be created.
bool cache_prepare(void);

// Parent role, when cache_prepare answered false: creates the sibling (a fresh name when one is
// taken, like the temporary directory) and makes it this run's payload directory (so every
// failure and interrupt removes it). Fatal: no free name after ZB_PAYLOAD_DIRECTORY_TRIES
// draws or another failure to create it.
void cache_create_sibling(void);

// Parent role, after the sibling was filled and checked: moves it into place. A damaged copy
// in the way is renamed aside first and removed (left for a later start when in use). When
// another run put a copy there first, that one is used and the sibling removed. When the
// damaged copy cannot be moved aside, the run uses the sibling and removes it at the end.
// The moves pass the gate (cleanup/gate.h): after an interrupt they do not happen, and the
// call does not return. Fatal: the unpack error when a sibling that lost the race cannot be
// removed.
void cache_install(void);

// Parent role, while the child runs: removes every other version of this application's
// cache whose lock can be opened exclusively (no run uses it), with its leftovers and its
// lock. Does nothing outside the cached mode. Never fatal; never follows links.
void cache_tidy(void);
