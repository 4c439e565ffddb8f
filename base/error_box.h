// A fatal line in a message box: the one way a windowed executable started from Explorer or a
// shortcut, which has nowhere to write it, shows why it ended.
#pragma once

#include <windows.h>

// True when a fatal line written to the standard handle `which` (STD_ERROR_HANDLE or
// STD_OUTPUT_HANDLE) reaches no one and a box can: this executable is a GUI-subsystem program,
// the handle is null or not a valid handle (one redirected anywhere, NUL too, is valid), and
// the process runs on the interactive window station ("WinSta0", outside session 0), never a
// service's or a scheduled task's, where a box would wait for no one. user32 is loaded only
// for that last question. Never fatal.
bool error_box_due(DWORD which);

// Shows `line` in a message box (an error icon, OK) titled with the executable's file name,
// and returns once it is closed. Nothing when user32 or the call is missing. Never fatal.
void error_box_show(const wchar_t* line);
