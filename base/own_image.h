// What the launcher knows of its own executable image: its subsystem and its file name.
#pragma once

#include <stdint.h>

// True when this process's executable is a GUI-subsystem program (the subsystem field of its
// own headers, which zobrin-pack exe sets): started from Explorer it has no console.
bool own_image_is_windowed(void);

// The executable's file name (the last component of its path, e.g. "app.exe") into `name`
// (capacity `capacity` units); false, with `name` empty, when the path cannot be read or the
// name does not fit. Never fatal.
bool own_image_file_name(wchar_t* name, uint32_t capacity);
