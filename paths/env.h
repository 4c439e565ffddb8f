// Environment variables: the process environment and the copies kept by runtime libraries.
#pragma once

#include <stdint.h>

// The variables through which parent, child and application talk.
#define ENV_PARENT L"ZOBRIN_ONEFILE_PARENT"
#define ENV_START L"ZOBRIN_ONEFILE_START"
#define ENV_TIME_US L"ZOBRIN_ONEFILE_TIME_US"
#define ENV_RANDOM L"ZOBRIN_ONEFILE_RANDOM"
#define ENV_DIRECTORY L"ZOBRIN_ONEFILE_DIRECTORY"
#define ENV_ORIGINAL_ARGV0 L"ZOBRIN_ORIGINAL_ARGV0"

// A heap copy of the variable's value, or null when it is unset, set to the empty text,
// longer than 32767 units, or cannot be copied. The copy is the caller's: free() releases
// it, and a caller that keeps it for the rest of the process may leave it. Fatal (abort): a
// name of 40 units or more.
wchar_t* env_read(const wchar_t* name);

// Sets the variable in the process environment and in every loaded runtime's copy.
// Failures of the system and the runtimes are ignored. Fatal (abort): a name of 40 units or
// more.
void env_set(const wchar_t* name, const wchar_t* value);

// Sets the variable (or, with a null value, removes it) in the process environment only, not
// in the runtimes' copies: for a value only the processes started afterwards read (each
// runtime there copies the environment at its start) or that is read back with env_read.
// Failures are ignored. Fatal (abort): a name of 40 units or more.
void env_set_for_children(const wchar_t* name, const wchar_t* value);

// Removes the variable from the process environment and from every loaded runtime's copy.
// Unsetting an unset variable does nothing visible. Fatal (abort): a name of 40 units or more.
void env_unset(const wchar_t* name);

// True when the process environment has the variable, even with the empty text. Fatal
// (abort): a name of 40 units or more.
bool env_exists(const wchar_t* name);

// Hands "name=value" to the launcher's own runtime and to the _wputenv of every listed
// runtime module already loaded; an empty value removes the variable from each copy. Which
// modules are loaded is looked up again only after the system's loader has loaded or
// unloaded a module since the last update (on any thread). Results are ignored; the text
// stays allocated. Fatal (abort): a name of 64 units or more, or the
// text cannot be allocated.
void env_update_runtime_copies(const wchar_t* name, const wchar_t* value);

// A new environment block for a process to start (heap; free() releases it): this process's
// variables in their order, less every one named in `changes`, then each entry of `changes`
// that has a value. `changes` holds `count` texts "NAME=VALUE" back to back, each
// NUL-terminated; "NAME=" removes NAME. Names are compared without regard to case, as the
// system does. Null when the process's block or the memory cannot be had.
wchar_t* env_block_with_changes(const wchar_t* changes, uint32_t count);
