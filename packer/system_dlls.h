// Names of the DLLs a Windows system directory holds, for the pack-time import check.
#pragma once

#include <string>

// True when `lower_name` (a file name in lower case, e.g. "kernel32.dll") is one of them.
bool system_dll_known(const std::string& lower_name);
