// A count and its noun, as the packer's summary lines print them: "1 file", "2 files".
#pragma once

#include <cstdint>
#include <string>

inline std::string count_text(uint64_t count, const char* noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}
