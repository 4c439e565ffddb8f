// Parent recognition: is this process the child of a launcher running the same executable?
#pragma once

#include <stdint.h>

// True when ZOBRIN_ONEFILE_PARENT names a live process whose image, normalised, is this
// executable. `scratch` (capacity at least 32768 units) receives the variable's value and then
// the parent's image path. Never fatal except through the path steps' bound checks; every
// other failure answers false.
bool role_started_by_parent(wchar_t* scratch, uint32_t capacity);
