// `zobrin-pack verify`: decodes a whole payload and checks it against its table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "packer/payload_read.h"

struct VerifyResult {
  uint64_t files = 0;
  uint64_t bytes = 0;  // decoded, equal to the sum of the table's sizes
  std::string main;    // the main entry's kind (payload_main_text)
  uint64_t frames = 0;  // zstd frames of the stream
};

// Takes the entries of a payload as verify decodes them, in table order: begin, the entry's
// bytes in one or more writes, end (once its size is reached and its digest, in a cached
// executable, matches). A check that fails throws between any two calls.
class PayloadSink {
 public:
  virtual ~PayloadSink() = default;
  virtual void begin(const TableEntry& entry, size_t index) = 0;
  virtual void write(const unsigned char* data, size_t size) = 0;
  virtual void end() = 0;
};

// Checks the payload in `file` (an executable or a bare payload array): the section head, the
// array's layout and trailer, every table entry and name, the file digests' count and the
// settings, then the stream, decoded whole (each frame's checksum when it has one, each entry's
// file digest in a cached executable) against the table's sizes, handing each entry to `sink`
// (if any) as it is decoded; last, that the main entry is not cut short, and in an executable
// whose run flags ask for the program mode, that it is a program the launcher can start.
// Throws PackError("<subject>: <the check that failed>") at the first fault.
VerifyResult payload_verify(const std::vector<unsigned char>& file, const std::string& subject,
                            PayloadSink* sink = nullptr);
