// Parent recognition: is this process the child of a launcher running the same executable?
#pragma once

#include <stdint.h>
#include <windows.h>

// True when ZOBRIN_ONEFILE_PARENT names a live process whose image, normalised, is this
// executable, or a process that created this one and whose image cannot be read (so a
// launcher's child never starts another child). `scratch` (capacity at least 32768 units)
// receives the variable's value and then the parent's image path (read with the own path's
// capacity). Never fatal except through the path steps' bound checks; every other failure
// answers false.
bool role_started_by_parent(wchar_t* scratch, uint32_t capacity);

// The id of the process that created this one (from a process snapshot), 0 when unknown.
DWORD role_creator_id(void);
