#include "run/driver.h"

#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

#include "base/fatal.h"
#include "base/handle.h"
#include "base/limits.h"
#include "base/progress_line.h"
#include "base/wide_text.h"
#include "cleanup/child_slot.h"
#include "cleanup/gate.h"
#include "cleanup/held_files.h"
#include "cleanup/run_context.h"
#include "cleanup/shutdown.h"
#include "cleanup/sweep.h"
#include "extract/cache.h"
#include "extract/cache_verify.h"
#include "extract/extract.h"
#include "extract/payload_directory.h"
#include "extract/place.h"
#include "extract/place_folder.h"
#include "extract/table_names.h"
#include "format/payload_format.h"
#include "paths/env.h"
#include "paths/template.h"
#include "payload/payload_reader.h"
#include "run/app_settings.h"
#include "run/launch.h"
#include "run/launch_ahead.h"
#include "run/missing_dll.h"
#include "run/role.h"
#include "run/splash.h"

// The payload directory's name below the chosen folder (extract/place.h).
static const wchar_t DRIVER_DIRECTORY_NAME_TEMPLATE[] = L"\\onefile_{PID}_{TIME_US}_{RANDOM}";
// Its longest expansion: "\onefile_", a 32-bit id (10 digits), "_", a 64-bit time (20), "_"
// and the random text.
static const uint32_t DRIVER_DIRECTORY_NAME_MAX_UNITS =
    9 + 10 + 1 + 20 + 1 + ZB_RANDOM_TEXT_UNITS - 1;

// Everything one run holds, owned here and handed to each step. Its run context stays valid
// until the process ends: the console handler may reach it while the process exits.
struct DriverRun {
  RunContext context;
  PayloadImage image;
  PayloadReader reader;
  Extractor extractor;
  Cache cache;
  Launch launch;
  LaunchAhead ahead;
  Sweep sweep;
  Place place;
  Splash splash;
  AppSettings app;
  // The first payload entry's target path: the DLL the child loads, or the program mode's
  // program.
  wchar_t dll_path[ZB_PATH_UNITS];
  wchar_t scratch[ZB_ENV_VALUE_UNITS];
};

// Parent role only: fresh TIME, TIME_US and RANDOM for the expansion, and this process's id
// as ZOBRIN_ONEFILE_PARENT (replacing whatever was inherited). Decision: the parent's
// variables go into the process environment only. No code of the parent reads a runtime's
// copy, and the processes it starts copy the environment at their start; each update of the
// copies costs about half a millisecond under Wine, more once advapi32 has brought msvcrt.
static void driver_prepare_parent_environment(void) {
  static const wchar_t* const names[] = {ENV_START, ENV_TIME_US, ENV_RANDOM};
  for (const wchar_t* name : names) env_set_for_children(name, /* value: remove */ nullptr);
  wchar_t id[ZB_PID_TEXT_UNITS];
  swprintf(id, ZB_PID_TEXT_UNITS, L"%ld", (long)GetCurrentProcessId());
  env_set_for_children(ENV_PARENT, id);
}

// Expands the payload directory below the chosen folder (place_expand done) into the run's
// context and makes it absolute; a fresh RANDOM seeded as `seed` says (template.h). Decision:
// the expansion's failure is reported before the full-path step, which would end the run
// without a message on an empty text. Fatal: a folder too long for the directory's path (one
// line naming it).
static void driver_compute_payload_directory(DriverRun* run, TemplateSeed seed) {
  wchar_t* directory = run->context.payload_directory;
  uint32_t written = 0;
  directory[0] = L'\0';
  if (!wide_append_text(directory, ZB_PATH_UNITS, &written, run->place.folder) ||
      written + DRIVER_DIRECTORY_NAME_MAX_UNITS >= ZB_PATH_UNITS) {
    fatal_place_too_long(run->place.folder);
  }
  if (!template_expand_seeded(directory + written, DRIVER_DIRECTORY_NAME_TEMPLATE,
                              ZB_PATH_UNITS - written, seed)) {
    written = 0;
    directory[0] = L'\0';
    if (!wide_append_text(directory, ZB_PATH_UNITS, &written, run->place.path_template) ||
        !wide_append_text(directory, ZB_PATH_UNITS, &written, DRIVER_DIRECTORY_NAME_TEMPLATE)) {
      fatal_bounds_abort();
    }
    fatal_expand_error(directory);
  }
  DWORD length =
      GetFullPathNameW(directory, ZB_PATH_UNITS, run->scratch, /* lpFilePart */ nullptr);
  if (length == 0 || length >= ZB_PATH_UNITS) fatal_bounds_abort();
  written = 0;
  if (!wide_append_text(directory, ZB_PATH_UNITS, &written, run->scratch)) fatal_bounds_abort();
}

static void driver_redraw_payload_directory(void* run) {
  driver_compute_payload_directory(static_cast<DriverRun*>(run), TEMPLATE_SEED_SYSTEM);
}

// Sets the run's payload directory to `path`. Fatal (abort): a path that does not fit.
static void driver_set_payload_directory(DriverRun* run, const wchar_t* path) {
  uint32_t length = 0;
  run->context.payload_directory[0] = L'\0';
  if (!wide_append_text(run->context.payload_directory, ZB_PATH_UNITS, &length, path)) {
    fatal_bounds_abort();
  }
}

// Before a fatal exit of the parent that has created nothing yet: a child created ahead is
// ended and the splash, if shown, goes (a message box may follow).
static void driver_close_splash(void* context) {
  DriverRun* run = static_cast<DriverRun*>(context);
  launch_ahead_cancel(&run->ahead);
  splash_stop(&run->splash);
}

// Before a fatal exit of the parent: a child created ahead is ended, the splash goes, the file
// being written is closed, then the child (if any) is ended and the payload directory
// removed, as at the end of a run.
static void driver_clean_up_before_exit(void* context) {
  DriverRun* run = static_cast<DriverRun*>(context);
  launch_ahead_cancel(&run->ahead);
  splash_stop(&run->splash);
  extract_release_file(&run->extractor);
  cleanup_shutdown(&run->context);
}

// Parent role, once the payload directory is created: from here on every ending removes what
// this run wrote: shutdown, the clean-up before a fatal exit (a header, decode, open, write or
// launch error) and the console handler, which reaches the run from here on.
static void driver_own_payload_directory(DriverRun* run) {
  run->context.remove_directory = true;
  fatal_set_cleanup(driver_clean_up_before_exit, run);
}

static void driver_register_handler(DriverRun* run) {
  cleanup_publish_run(&run->context);
  if (!SetConsoleCtrlHandler(cleanup_console_handler, /* Add */ TRUE)) {
    fatal_exit("Error, failed to register signal handler.");
  }
}

// Program mode: the program's path below `directory` (where the child role would load the
// DLL from), from the table's first entry, into the run's dll_path.
static const wchar_t* driver_locate_program(DriverRun* run, const wchar_t* directory) {
  extract_dll_path(run->image.table, directory, run->dll_path);
  return run->dll_path;
}

// Parent role, DLL mode, with this process's environment final: the child is created ahead
// while the payload is extracted into `app_dir` or the copy there checked (run/launch_ahead.h).
// Decision: not with a packed working folder, which may lie below `app_dir` and exist only
// once extracted (and is checked when the child starts).
static void driver_start_ahead(DriverRun* run, wchar_t** argv, const wchar_t* app_dir,
                               bool program) {
  uint32_t length = 0;
  if (program || payload_image_setting(&run->image, ZB_SETTING_CWD, &length) != nullptr) return;
  app_settings_prepare(&run->app, &run->image, app_dir);
  run->launch.app = &run->app;
  launch_ahead_begin(&run->ahead, &run->launch, argv);
}

// Parent role, with the payload extracted into `app_dir` (the payload directory or the cached
// copy): starts the child (or `program`, when not null) with the application's settings,
// tidies the cache while it runs (cached mode), waits for it, then ends the run: the child
// slot emptied, shutdown. Returns the child's exit code.
static int driver_launch_parent(DriverRun* run, wchar_t** argv, bool cached,
                                const wchar_t* app_dir, const wchar_t* program) {
  int exit_code = 0;
  bool ahead = launch_ahead_begun(&run->ahead);
  if (!ahead) {
    app_settings_prepare(&run->app, &run->image, app_dir);
    run->launch.app = &run->app;
  }
  progress_line_end();
  {
    HandleOwner child = ahead ? launch_ahead_finish(&run->ahead, &run->context)
                              : launch_parent_start(&run->launch, &run->context, argv, program);
    splash_set_child(&run->splash, GetProcessId(child.get()));
    // Old versions of a cached application go while the child runs, not before it starts.
    if (cached) cache_tidy(&run->cache);
    exit_code = launch_parent_wait(child);
  }
  // While the program's folder is still there to be read.
  if (program != nullptr) missing_dll_report(program, (unsigned long)exit_code);
  splash_stop(&run->splash);
  cleanup_child_release(&run->context);
  cleanup_shutdown(&run->context);
  return exit_code;
}

// Moves the filled sibling into place through the gate: an interrupt before the moves removes
// the sibling and they never happen; one after them finds the removal flag as they left it.
// Then holds the images of the copy the run uses, checked again.
// Decision: a folder with a file open below it cannot be renamed, so the walk held no image
// (driver_run_cached_parent; nothing should be held here, but a held file would fail the
// moves); the images are read once more from where they now lie, and held from that check
// on (the other files are never held: nothing runs them).
// Fatal: "Error, couldn't unpack file to target path." (ERROR_FILE_INVALID) when that check
// fails: the copy changed since it was written.
static void driver_install_cache(DriverRun* run) {
  bool aside = false;
  held_files_close_all(&run->context.held);
  cleanup_gate_enter(&run->context);
  // In place (or removed after another run's copy won): from here on nothing removes it.
  if (cache_move_into_place(&run->cache, &aside)) run->context.remove_directory = false;
  cleanup_gate_leave(&run->context);
  if (aside) cache_remove_aside(&run->cache);
  if (!cache_verify_copy(&run->image, run->cache.names, cache_run_directory(&run->cache),
                         /* check */ true, &run->context.held, /* images_only */ true)) {
    fatal_exit_code("Error, couldn't unpack file to target path.", ERROR_FILE_INVALID);
  }
}

// Parent role of the cached mode: the cache directory is checked and used as it stands, or
// filled afresh through a sibling that is moved into place. The parent's payload directory is
// the sibling throughout, removed (at the end, a failure or an interrupt) only while the
// removal flag is set: never once the sibling is the cache directory.
static int driver_run_cached_parent(DriverRun* run, wchar_t** argv, bool program) {
  // Checked before anything of the cache is made; kept sorted for the checks of the copy.
  table_check_names(run->image.table, &run->cache.names);
  cache_compute_paths(&run->cache, run->image.key, TEMPLATE_SEED_CHEAP);
  run->cache.held = &run->context.held;
  place_hand_over(run->cache.folder);
  driver_set_payload_directory(run, run->cache.sibling);
  // Checking a large copy takes a while too.
  splash_start(&run->splash, &run->image);
  fatal_set_cleanup(driver_close_splash, run);
  payload_open(&run->reader, &run->image);
  // A later start's copy is checked while the child is created.
  if (GetFileAttributesW(run->cache.directory) != INVALID_FILE_ATTRIBUTES) {
    driver_start_ahead(run, argv, run->cache.directory, program);
  }
  bool whole = cache_prepare(&run->cache, &run->image);
  if (!whole) {
    // The child finds a copy kept in the sibling by the sibling's name, which a redraw changes
    // in this process's environment after the child took its copy: it is created again once
    // the copy is in place.
    launch_ahead_cancel(&run->ahead);
    cache_create_sibling(&run->cache);
    driver_set_payload_directory(run, run->cache.sibling);
    driver_own_payload_directory(run);
  }
  driver_register_handler(run);
  if (!whole) {
    // Held images would have to be let go before the copy's rename: the check after it holds
    // them.
    run->extractor.hold_images = false;
    extract_walk(&run->extractor);
    driver_install_cache(run);
  }
  const wchar_t* app_dir = cache_run_directory(&run->cache);
  const wchar_t* started = program ? driver_locate_program(run, app_dir) : nullptr;
  return driver_launch_parent(run, argv, /* cached */ true, app_dir, started);
}

// Child role: takes the payload directory the parent prepared, creates nothing and loads the
// application's main DLL, or in the program mode (the program started this executable again)
// starts the program from there, waits for it and returns its exit code. Decision: that run
// keeps the console handler too, so an interrupt is left to the program and a close gives it
// the parent's grace period, instead of ending it at once with this process through the job.
static int driver_run_child(DriverRun* run, int argc, wchar_t** argv, bool program) {
  extract_dll_path(run->image.table, run->context.payload_directory, run->dll_path);
  if (!program) return launch_child(run->context.payload_directory, run->dll_path, argc, argv);
  driver_register_handler(run);
  app_settings_prepare(&run->app, &run->image, run->context.payload_directory);
  run->launch.app = &run->app;
  int exit_code = 0;
  {
    HandleOwner started = launch_start(&run->launch, &run->context, run->dll_path);
    exit_code = launch_parent_wait(started);
  }
  missing_dll_report(run->dll_path, (unsigned long)exit_code);
  cleanup_child_release(&run->context);
  cleanup_shutdown(&run->context);
  return exit_code;
}

// The one run of this process. Decision: at file scope, not a local static: the console
// handler may reach its run context until the process has ended, and a local static with a
// destructor would bring the runtime's guard (some 100 KiB) into the launcher.
static DriverRun driver_run_state;

int driver_run(void) {
  DriverRun& run = driver_run_state;
  int argc = *__p___argc();
  wchar_t** argv = *__p___wargv();
  SetDllDirectoryW(L"");
  extract_init(&run.extractor, &run.context, &run.reader);
  run.extractor.small_alone = true;

  bool parent_role = !role_started_by_parent(run.scratch, ZB_ENV_VALUE_UNITS);
  if (parent_role) {
    progress_line_start();
    driver_prepare_parent_environment();
  }
  // Checked before anything is created: a damaged head or unknown flags are the header error
  // in either role.
  payload_image_open(&run.image);
  uint64_t flags = run.image.flags;
  bool program = (flags & ZB_RUN_FLAG_PROGRAM) != 0;
  place_choose(&run.place, &run.image);
  // Decision: the child takes the folder its parent resolved, never expanding it again: a
  // template the two roles expanded differently would load files nothing checked.
  bool handed_over = !parent_role && place_take_handed_over(&run.place);
  if (flags & ZB_RUN_FLAG_CACHE) {
    // The cached copies live in the chosen folder's "zobrin-onefile"; by default in the
    // user's cache. The parent hands over the folder that holds that one, which the child
    // takes as chosen.
    if (handed_over) {
      run.cache.chosen_root = run.place.folder;
    } else if (run.place.source != PLACE_DEFAULT) {
      place_expand(&run.place, L"");
      run.cache.chosen_root = run.place.folder;
    }
    if (parent_role) return driver_run_cached_parent(&run, argv, program);
    cache_compute_paths(&run.cache, run.image.key, TEMPLATE_SEED_CHEAP);
    driver_set_payload_directory(&run, cache_child_directory(&run.cache));
    return driver_run_child(&run, argc, argv, program);
  }
  if (!handed_over) place_expand(&run.place, DRIVER_DIRECTORY_NAME_TEMPLATE);
  if (parent_role) place_hand_over(run.place.folder);
  driver_compute_payload_directory(&run, TEMPLATE_SEED_CHEAP);
  // The child takes the directory from the inherited environment and creates nothing.
  if (!parent_role) return driver_run_child(&run, argc, argv, program);
  // A chosen folder's missing levels are made; the temporary directory never is.
  if (run.place.source != PLACE_DEFAULT) place_create_folder(run.place.folder);
  // The payload directory is final from here on: the console control handler may read it.
  payload_directory_create_new(run.context.payload_directory, driver_redraw_payload_directory,
                               &run);
  driver_own_payload_directory(&run);
  driver_register_handler(&run);
  driver_start_ahead(&run, argv, run.context.payload_directory, program);
  splash_start(&run.splash, &run.image);
  payload_open(&run.reader, &run.image);
  extract_walk(&run.extractor);
  // Leftovers of killed launchers are removed on a thread of their own while the child runs.
  // Decision: with a folder of its own choice the run sweeps the temporary directory too, where
  // runs before that choice left theirs.
  const wchar_t* also = nullptr;
  if (run.place.source != PLACE_DEFAULT &&
      template_expand(run.scratch, L"{TEMP}", ZB_ENV_VALUE_UNITS)) {
    also = run.scratch;
  }
  cleanup_sweep_start(&run.sweep, run.context.payload_directory, also);
  const wchar_t* started =
      program ? driver_locate_program(&run, run.context.payload_directory) : nullptr;
  int exit_code = driver_launch_parent(&run, argv, /* cached */ false,
                                       run.context.payload_directory, started);
  cleanup_sweep_join(&run.sweep);
  return exit_code;
}
