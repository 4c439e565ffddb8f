// The onefile executable: a copy of the launcher image whose last section, the payload
// section, is grown to hold the payload array behind its 8-byte length and 8 zero bytes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "payload/pe_image.h"

// Writes the launcher's bytes up to the payload section and its 16-byte head; the payload
// array follows at the file's current position. `out` must be empty.
bool exe_begin(FILE* out, const std::vector<unsigned char>& launcher, const PePayloadSlot& slot,
               std::string* error);

// Completes the executable once `payload_length` bytes of payload have been written: pads
// the section to the file alignment, writes the length, the section and image sizes and
// the image checksum. False with a reason (a payload an image cannot hold, a write error).
bool exe_end(FILE* out, const std::vector<unsigned char>& launcher, const PePayloadSlot& slot,
             uint64_t payload_length, std::string* error);

// The PE image checksum of the `size` bytes read from `in` at its start, the checksum field
// at `checksum_offset` counted as zero. False when the file cannot be read.
bool exe_checksum(FILE* in, uint64_t size, uint64_t checksum_offset, uint32_t* sum,
                  std::string* error);
