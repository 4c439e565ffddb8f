// `zobrin-pack verify`: decodes a whole payload and checks it against its table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct VerifyResult {
  uint64_t files = 0;
  uint64_t bytes = 0;  // decoded, equal to the sum of the table's sizes
  std::string main;    // the main entry's kind (payload_main_text)
  uint64_t frames = 0;  // zstd frames of the stream
};

// Checks the payload in `file` (an executable or a bare payload array): the section head, the
// array's layout and trailer, every table entry, and the stream, decoded whole (each frame's
// checksum when it has one), against the table's sizes; in an executable whose run flags ask
// for the program mode, that the main entry is a program the launcher can start. Throws PackError("<subject>: <the
// check that failed>") at the first fault.
VerifyResult payload_verify(const std::vector<unsigned char>& file, const std::string& subject);
