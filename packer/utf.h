// UTF-8 and UTF-16 conversions for file names.
#pragma once

#include <string>

// Converts UTF-8 to UTF-16. Returns false on malformed input (output then unspecified).
bool utf_8_to_16(const std::string& in, std::u16string* out);

// Converts UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf_16_to_8(const std::u16string& in);
