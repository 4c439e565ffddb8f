// What `zobrin-pack exe` may change in the launcher beyond the payload: the subsystem
// (--console) and the resources (--icon, version information, the manifest's execution
// level). New resources go into a new resource section after the payload section, holding
// the launcher's own resources (its manifest) as well; the launcher's old resource section
// stays in place, unused, renamed ".oldrsrc". The launcher reaches its payload through its
// own symbols, so the payload section need not stay last.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "packer/pe_image.h"
#include "packer/pe_resources.h"
#include "packer/version_info.h"

class OutputFile;

// The subsystem field and its values: packer/pe_image.h.
constexpr uint64_t PE_OPT_SIZE_OF_HEADERS = 60;
constexpr const char* PE_RESOURCE_SECTION = ".rsrc";
constexpr const char* PE_OLD_RESOURCE_SECTION = ".oldrsrc";

struct ExeOptions {
  bool console = false;
  std::string icon;  // an .ico file, or empty
  VersionFields version;
  std::string execution_level;  // the level the launcher's manifest asks for; "": its own
};

// The changes prepared before the payload is written, applied by exe_extras_apply.
struct ExeExtras {
  bool console = false;
  bool new_resources = false;
  std::vector<Resource> resources;  // the whole new resource tree
  uint64_t coff = 0;                // COFF header of the launcher
  uint64_t new_header = 0;          // file offset of the new section header
  uint64_t old_header = 0;          // header of the launcher's resource section, or 0
};

// Reads the icon file and the launcher's resources and checks there is room for one more
// section header. `output_name` is the executable's file name (the version information's
// original file name). Throws PackError("<subject>: <reason>") for the launcher's faults and
// PackError("icon '<file>' ...") for the icon's.
ExeExtras exe_extras_prepare(const std::vector<unsigned char>& launcher, const PePayloadSlot& slot,
                             const ExeOptions& options, const std::string& output_name,
                             const std::string& subject);

// Applies `extras` to the executable written so far (`file_size` bytes, `image_size` its
// SizeOfImage, both already patched): sets the subsystem, appends the resource section and
// points the resource directory at it. Returns the new file size.
uint64_t exe_extras_apply(OutputFile& out, const PePayloadSlot& slot, const ExeExtras& extras,
                          uint64_t file_size, uint64_t image_size);
