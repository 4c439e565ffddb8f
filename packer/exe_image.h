// The onefile executable: a copy of the launcher image whose last section, the payload
// section, is grown to hold the payload array behind its section head (format/payload_format.h).
#pragma once

#include <cstdint>
#include <vector>

#include "packer/pe_image.h"

class OutputFile;
struct ExeExtras;
struct SectionHead;

// Writes the launcher's bytes up to the payload section and its head (zeros); the payload
// array follows at the file's current position. `out` must be empty.
void exe_begin(OutputFile& out, const std::vector<unsigned char>& launcher,
               const PePayloadSlot& slot);

// Completes the executable once the payload `head` describes has been written: pads
// the section to the file alignment, writes the section head, the
// section and image sizes and the image checksum, after applying `extras` (subsystem,
// resource section). Throws PackError for a payload an image cannot hold or a write error.
void exe_end(OutputFile& out, const std::vector<unsigned char>& launcher,
             const PePayloadSlot& slot, const SectionHead& head, const ExeExtras& extras);
