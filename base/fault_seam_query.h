// What the fault seam (base/fault_seam.h) has seen in this process, for tests that run the
// launcher's code in their own process: the routed calls counted, all or those with one path.
// Test builds only; unlike base/fault_seam.h this header renames no system function.
#pragma once

#include <windows.h>

// The calls of `operation` (a name base/fault_seam.h routes, e.g. L"CreateDirectoryW") made
// so far in this process, on any thread; -1 for a name the seam does not route.
LONG fault_seam_calls(const wchar_t* operation);

// From now on counts the routed calls whose path or name argument is exactly `argument`
// (L"": none), starting from 0.
void fault_seam_watch(const wchar_t* argument);

// The calls of `operation` made with the watched argument since fault_seam_watch; -1 for a
// name the seam does not route.
LONG fault_seam_watched_calls(const wchar_t* operation);
