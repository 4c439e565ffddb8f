// Prints the entries of a payload array (from a payload file or a built executable).
#pragma once

#include <string>
#include <vector>

// Finds the payload in `file` (an executable with a payload section, or a bare payload
// array) and prints its header and entries to stdout. Throws PackError("<subject>: <reason>")
// when it is not one.
void payload_list(const std::vector<unsigned char>& file, const std::string& subject);
