// Names as Windows takes them: compared without regard to case, and the ones it cannot hold.
#pragma once

#include <string>

// Each UTF-16 unit mapped to its simple upper case, one unit at a time, as NTFS's upcase
// table maps names: ASCII and the letters Unicode gives a one-to-one upper case in the Basic
// Multilingual Plane (é -> É, ÿ -> Ÿ, σ and ς -> Σ, а -> А); surrogates, and letters whose
// upper case is several characters (ß), are left as they are.
std::u16string win_upper(const std::u16string& name);

// The same for a name in UTF-8 (names that are not valid UTF-8 are compared as they stand).
std::string win_upper_utf8(const std::string& name);

// ASCII letters in lower case (system DLL names are ASCII).
std::string ascii_lower(std::string name);

// Why Windows cannot hold `component` (one name, no separators) as it stands, as the words
// that follow the name in a message ("ends in a dot or a space, ..."): a character no file
// name holds, a last dot or space (Windows drops it), a device name (CON, NUL.txt, CONOUT$,
// ...). Empty when it can.
std::string win_name_problem(const std::u16string& component);

// The order of two entry names ("\"-separated) as Windows takes them: component by component,
// each compared in upper case (win_upper), a name before the longer names it is a directory
// of. Below, equal to or above 0. Sorted so, the names below a directory follow it at once.
int win_name_order(const std::u16string& a, const std::u16string& b);

// True when `name` lies below `outer` taken as a directory (`outer`, "\", ...; case ignored).
bool win_name_within(const std::u16string& outer, const std::u16string& name);
