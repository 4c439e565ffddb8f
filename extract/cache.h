// The cached mode (an executable packed with `zobrin-pack exe --cache`): the payload directory
// is "{CACHE_DIR}\zobrin-onefile\<executable base name>-<place>-<content key>", kept between
// runs; <place> (8 hex digits, from the executable's path) keeps two applications of one name
// apart. A start uses the copy only when this user's launcher finished it (owner and mark) and
// every file holds exactly the packed bytes (extract/cache_verify.h); otherwise it extracts
// into a private sibling "<directory>.<PID>_<TIME_US>_<RANDOM>" and moves that into place with
// one rename. Beside it, "<directory>.lock" is held open (shared) by every running parent and
// child of that version, holds the mark of the finished extraction and is dated by every start;
// a start that can open another version's lock exclusively removes that version when it is of
// the same application or unused for 30 days. With a chosen extraction folder the root is
// "<folder>\zobrin-onefile" instead: the launcher tidies only a folder of its own.
#pragma once

#include <stdint.h>
#include <windows.h>

#include "base/limits.h"
#include "cleanup/held_files.h"
#include "extract/table_names.h"
#include "paths/template.h"
#include "payload/payload_image.h"

// The cached mode's paths and what a run found there. Zeroed (`Cache cache = {}`) until
// cache_compute_paths.
struct Cache {
  // The folder chosen to extract to (extract/place.h), or null for the default: the copies
  // then live in its "zobrin-onefile", and its missing levels are created.
  const wchar_t* chosen_root;
  // The shell folder ({CACHE_DIR}) or the chosen folder, then its "\zobrin-onefile".
  wchar_t folder[ZB_PATH_UNITS];
  wchar_t root[ZB_PATH_UNITS];
  // "<base>-<place>-<key>", and the units of "<base>-<place>", the application's prefix.
  wchar_t version[ZB_PATH_UNITS];
  uint32_t base_units;
  // The parent's hold of the version's lock (with write access, for the mark), or null.
  HANDLE lock;
  // The cache directory, and this run's sibling "<directory>.<PID>_<TIME_US>_<RANDOM>".
  wchar_t directory[ZB_PATH_UNITS];
  wchar_t sibling[ZB_PATH_UNITS];
  // Scratch paths built from them; `other` holds a damaged copy moved aside.
  wchar_t path[ZB_PATH_UNITS];
  wchar_t other[ZB_PATH_UNITS];
  bool directory_existed;
  // Where the check puts the copy's images it holds (the run's held files), or null.
  HeldFiles* held;
  // The table's names as the parent's check sorted them (table_check_names, before
  // cache_prepare), for the checks of the copy; null until then and for an empty table.
  TableName* names;
  // The payload's content key, naming the version (cache_compute_paths).
  uint64_t key;
};

// Both roles: computes the cache directory of the payload whose content key is `key` and this
// run's sibling (from PID, TIME_US and RANDOM, drawn and published when unset, as for the
// temporary directory; a fresh RANDOM seeded as `seed` says, paths/template.h). Fatal: a cache
// folder or template that cannot be expanded; a folder too long for the paths below it (one
// line naming it); abort when the executable's name does not fit.
void cache_compute_paths(Cache* cache, uint64_t key, TemplateSeed seed);

// Child role: the directory the parent prepared: the sibling when it still exists (the parent
// could not move it into place and runs from it), else the cache directory. Holds the
// version's lock (shared) for the rest of the process when it exists; creates nothing.
const wchar_t* cache_child_directory(Cache* cache);

// Either role: the same choice without the lock, for the program mode's parent once its copy
// is in place (or kept as the sibling). Creates nothing.
const wchar_t* cache_run_directory(const Cache* cache);

// Parent role: creates the cache root directories (owner-only; a chosen
// folder's missing levels too, extract/place_folder.h), takes and dates the lock (after
// removing leftovers of killed runs of this version when no other run holds it) and checks the
// copy: this user's launcher finished it, and its files are exactly the payload's
// (cache_verify_copy, with the names in cache->names, set by the caller); its images stay held
// in cache->held when it passes; `image` is the payload's. True when the copy can be used as it stands. Fatal: as
// cache_verify_copy; a root directory or chosen folder that cannot be created.
bool cache_prepare(Cache* cache, const PayloadImage* image);

// Parent role, when cache_prepare answered false: creates the sibling (a fresh name, written
// to cache->sibling, when one is taken, like the temporary directory). Fatal: no free name
// after ZB_PAYLOAD_DIRECTORY_TRIES draws or another failure to create it.
void cache_create_sibling(Cache* cache);

// Parent role, after the sibling was filled and checked, inside the gate: moves it into place
// and records it as finished in the lock.
// A damaged copy in the way is renamed aside first (*aside is then true: the caller removes it
// with cache_remove_aside once out of the gate). When another run put a copy there first, that
// one is used and the sibling removed. True when the sibling is no longer there to remove
// (moved into place, or removed); false when the damaged copy could not be moved aside and the
// run uses the sibling. Fatal: the unpack error when a sibling that lost the race cannot be
// removed.
bool cache_move_into_place(Cache* cache, bool* aside);

// Removes the damaged copy cache_move_into_place moved aside, unless still in use: then a
// later start removes it. Never fatal.
void cache_remove_aside(Cache* cache);

// Parent role, while the child runs, in the root only: removes every other version of this
// application, and every version (a lock named "<base>-<place>-<key>.lock") of any
// application whose lock is 30 days old, when its lock can be opened exclusively (no run uses
// it), with its leftovers and its lock. Never fatal; never follows links.
void cache_tidy(Cache* cache);
