// Fatal exits: every failure the launcher reports ends the process here with one line. A
// progress line (base/progress_line.h) is erased before it; after it the clean-up runs, then,
// for a windowed executable whose line reaches no one, the line is shown in a message box
// (base/error_box.h) before the exit.
#pragma once

// The clean-up run once, as cleanup(context), before any fatal exit below (the abort endings
// too), or null. The driver sets it once the parent has created the payload directory; it is
// cleared before it runs, so a fatal exit inside it ends the process without running it again.
void fatal_set_cleanup(void (*cleanup)(void* context), void* context);

// Writes "message ([Error code] system text)" and a line feed to standard error. The system
// text loses its trailing CR/LF; "<unknown>" stands in when the system has none. Returns.
void fatal_print_system_error(const char* message, unsigned long code);

// Drops trailing CR and LF units from the `length` units of `text`, then NUL-terminates it
// (capacity at least length + 1). Returns the new length; other trailing units stay.
unsigned long fatal_trim_line_breaks(wchar_t* text, unsigned long length);

// The message and a line feed on standard output, then exit code 2.
[[noreturn]] void fatal_exit(const char* message);

// The system-error line on standard error, then exit code 2. `code` is the caller's
// GetLastError() taken right after the failing call.
[[noreturn]] void fatal_exit_code(const char* message, unsigned long code);

// Writes "message ([Error code] system text) <label><module><note>" and a line feed to
// standard error. Returns.
void fatal_print_module_error(const char* message, unsigned long code, const wchar_t* label,
                              const wchar_t* module, const wchar_t* note);

// Like fatal_exit_code, with " Missing: <module>" after the system text: the DLL the load
// could not find.
[[noreturn]] void fatal_exit_missing_module(const char* message, unsigned long code,
                                            const wchar_t* module);

// "Error, failed to open '<path>' for writing." on standard error, then exit code 2. CR and
// LF in the path are printed as \u000D and \u000A; a path longer than a path buffer (4095
// units) is cut there.
[[noreturn]] void fatal_open_error(const wchar_t* path);

// "Error, couldn't create payload directory '<path>' ([Error code] system text)" on standard
// error, then exit code 2.
[[noreturn]] void fatal_create_directory_error(const wchar_t* path, unsigned long code);

// Like fatal_exit_code, with the policy note after the system text: the system refused to run
// or load a program in `folder` by policy, and the two ways to choose another folder.
[[noreturn]] void fatal_exit_policy(const char* message, unsigned long code,
                                    const wchar_t* folder);

// Like fatal_exit_code, with the elevation note after the system text: the program needs
// administrator rights, and the two ways to give them.
[[noreturn]] void fatal_exit_elevation(const char* message, unsigned long code);

// "Error, extraction folder '<folder>' (from <source>) is not an absolute path." on standard
// error, then exit code 2.
[[noreturn]] void fatal_place_error(const wchar_t* folder, const char* source);

// "Error, extraction folder '<folder>' (from <source>) <reason>." on standard error, then exit
// code 2: the folder's template is not one the packer takes, `reason` says why.
[[noreturn]] void fatal_place_template_error(const wchar_t* folder, const char* source,
                                             const wchar_t* reason);

// "Error, extraction folder '<folder>' is too long to hold the payload directory." on
// standard error, then exit code 2: the folder fits, the directory's path below it does not.
[[noreturn]] void fatal_place_too_long(const wchar_t* folder);

// "Error, couldn't create extraction folder '<path>' ([Error code] system text)" on standard
// error, then exit code 2: `path` is the level of the chosen folder that could not be made.
[[noreturn]] void fatal_create_folder_error(const wchar_t* path, unsigned long code);

// "Error, working folder '<folder>' (from zobrin-pack exe --cwd) is not an existing folder."
// on standard error, then exit code 2.
[[noreturn]] void fatal_working_folder_error(const wchar_t* folder);

// "Error, couldn't runtime expand spec '<template>'." on standard error, then abort.
[[noreturn]] void fatal_expand_error(const wchar_t* path_template);

// A bounded copy or append would overflow, or a call the launcher cannot do without failed:
// abort, without a message.
[[noreturn]] void fatal_bounds_abort(void);

// Message texts used by more than one module.
#define FATAL_MSG_HEADER "Error, couldn't find attached data header."
#define FATAL_MSG_DECODE "Error, couldn't decode attached data."
#define FATAL_MSG_MEMORY "Error, couldn't allocate memory."
