// Extraction: the payload walk that writes every entry below the payload directory.
#pragma once

#include <stdint.h>

#include "base/limits.h"
#include "cleanup/run_context.h"
#include "payload/payload_reader.h"

// One extraction: what the walk writes into, the directories it knows, its counts and how it
// runs. Zeroed (`Extractor extractor = {}`), then set by extract_init.
struct Extractor {
  RunContext* run;
  PayloadReader* reader;
  // False: the walk decodes alone (no read-ahead), or closes every file itself (no closer's
  // thread). The launcher runs with both.
  bool read_ahead;
  bool closer_thread;
  // True: a payload of at most ZB_WALK_ALONE_MAX_ENTRIES entries and ZB_WALK_ALONE_MAX_BYTES
  // bytes is walked without either thread. False after extract_init.
  bool small_alone;
  // True (extract_init): the images written are held (cleanup/held_files.h). The cached mode
  // checks them again where they end up instead.
  bool hold_images;
  // The current entry's target path: the payload directory, "\" and the entry's name.
  wchar_t target_path[ZB_PATH_UNITS];
  // Directories known to exist; slot 0 is the home directory's from the first call on.
  wchar_t* known_dirs[ZB_KNOWN_DIRS_MAX];
  int32_t known_count;
  // Entries the walk has written.
  uint32_t entry_index;
};

// Sets `extractor` (zeroed) to extract from `reader` into the payload directory of `run`, with
// the read-ahead and the closer's thread, whatever the payload's size.
void extract_init(Extractor* extractor, RunContext* run, PayloadReader* reader);

// Parent role: walks the extractor's opened reader, writes every entry below its run's payload
// directory, then finishes the reader. The run records what was written (the table and how
// many of its entries were begun) for removal by name. Each finished file goes to the closer
// (cleanup/file_closer.h), which holds the images among them (by their first bytes) in the
// run's held files (cleanup/held_files.h); the walk returns once every file is closed, every
// image held and the closer's thread has ended. Every creation, write and hand-over passes the gate (cleanup/gate.h):
// after an interrupt the walk stops at its next one and does not return.
// Fatal: header, decode, open and write errors; an image that cannot be held (the unpack
// error with the system's, e.g. 32 when another process opened it for writing meanwhile);
// "{HOME}" that cannot be expanded; a payload directory too long to take "\" (abort).
void extract_walk(Extractor* extractor);

// Stops the read-ahead, closes the file extraction is writing, if any (and unless the
// console handler closed it), and waits for the closer to close every file handed to it, so
// that they can be deleted. Main thread only; for the clean-up before a fatal exit.
void extract_release_file(Extractor* extractor);

// Child role: reads the first entry of `table` and puts its target path below
// `payload_directory` into `dll_path` (capacity ZB_PATH_UNITS). Its flags are not looked at
// beyond the cursor's checks, and nothing is created. Fatal: header error (an empty table too,
// or a name that leads out of the payload directory or does not fit); a payload directory too
// long to take "\" (abort).
void extract_dll_path(PayloadTable table, const wchar_t* payload_directory, wchar_t* dll_path);

// Builds `directory`, "\" and an entry's name (`units` units, little-endian, in the table)
// into `target` (capacity ZB_PATH_UNITS). Fatal: abort when `directory` cannot take "\";
// header error when the name does not fit.
void extract_build_target(wchar_t* target, const wchar_t* directory, const unsigned char* name,
                          uint32_t units);

// Creates the directories above the file `path` that are missing, going up only as far as
// the first directory that exists or is known. Fatal (abort): a path of 4096 units or more.
void extract_make_parent_directories(Extractor* extractor, const wchar_t* path);

// True when the directory `path` exists afterwards (created, found or known; the run's payload
// directory always counts as known). Fatal: "{HOME}" that cannot be expanded, on the first
// call with a path outside the payload directory.
bool extract_make_directory(Extractor* extractor, const wchar_t* path);
