// The rules an entry name must follow before the launcher makes a path of it. Names are
// `units` little-endian UTF-16 units in the table, not NUL-terminated.
#pragma once

#include <stdint.h>

// True when the name stays below the payload directory: its "\"-separated components are
// none of empty, "." or ".." (nor any other run of dots and spaces), and it holds no "/" and
// no ":".
bool name_stays_inside(const unsigned char* name, uint32_t units);

// True when Windows would hold every component of the name as a file of that very name: none
// is a device name (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9, CONIN$, CONOUT$, in any
// case, alone or before an extension) and none ends in a dot or a space, which the system
// drops ("x.txt." would overwrite "x.txt").
bool name_components_kept(const unsigned char* name, uint32_t units);
