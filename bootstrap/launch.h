// Launching the application: the child loads its main DLL; the parent starts the child, or
// in the program mode the program itself.
#pragma once

// Child role: loads run_state.dll_path, with the payload directory added to the DLL search,
// and returns what its run_code returns. Fatal: "Error, load DLL." (with the system error), "Error, DLL entry
// point not found.".
int launch_child(int argc, wchar_t** argv);

// Parent role: publishes ZOBRIN_ONEFILE_DIRECTORY and ZOBRIN_ORIGINAL_ARGV0, starts this
// executable again as the child (or `program`, when not null: the program mode's main program
// below the payload directory, which then also names itself in element 0) with the same
// arguments, standard handles and environment,
// in a job that ends it when the parent ends (processes the application starts leave the job;
// without a job when none can be had), waits, runs shutdown and returns the child's exit code
// (1 when it cannot be read). The start passes the gate (cleanup/gate.h): after an interrupt
// no child starts, and the call does not return. Fatal:
// "Error, couldn't launch child" (with the system error; also for a command line too long to
// pass on, or one that cannot be split, or a child that cannot be resumed), abort when the own
// path cannot be read.
int launch_parent(wchar_t** argv, const wchar_t* program);

// Child role of the program mode (the program started this executable again): starts
// run_state.dll_path, the program below the parent's payload directory, with this process's
// arguments (element 0 the program), standard handles and environment, in a job as above,
// waits and returns its exit code. Publishes nothing and removes nothing. Fatal: as
// launch_parent.
int launch_program_child(void);
