// The program mode's start failures in the loader: the DLL a program could not start without.
#pragma once

// A program's exit code when the loader could not start it: a DLL it imports was not found,
// or one was built for another machine.
static const unsigned long MISSING_DLL_NOT_FOUND = 0xC0000135;
static const unsigned long MISSING_DLL_BAD_IMAGE = 0xC000007B;

// When `exit_code`, that of the program at `program`, is one of the two above, writes one line
// on standard error: "Error, start program. ([Error 126] system text) Missing: NAME.dll", or
// (with [Error 193] for 0xC000007B) "Wrong machine: NAME.dll (x86-64, the program is i386)"
// for a DLL of the program's folder built for another machine. The DLL is
// found by following the program's imports through its own folder (the application's DLLs
// there followed in turn) and the system's folder for its machine (SysWOW64 for an i386
// program); when none is found the line ends after the system text. Otherwise nothing. Never
// fatal: the caller passes the exit code on.
void missing_dll_report(const wchar_t* program, unsigned long exit_code);
