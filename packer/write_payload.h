// The payload array as a plan names it: written alone (the payload command), or as the part
// an object or an executable wraps, with the section head that follows it there.
#pragma once

#include <cstdint>

#include "packer/file_io.h"
#include "packer/payload_writer.h"
#include "packer/plan.h"

// Writes the array to `out` at its position: the tree packed, or the payload file copied.
PackStats write_payload_array(OutputFile& out, const PackPlan& plan);

// The section head over the `length` bytes of array at `array_start`, exactly as they stand
// (a crafted array's too), with the flags and settings the plan records; the file digests and
// the settings are appended after the array (payload_section_head), the head itself is the
// caller's to place.
SectionHead write_section_head(OutputFile& out, const PackPlan& plan, uint64_t array_start,
                               uint64_t length);

// Prints the summary line of a packed tree (none for a payload file copied).
void write_summary(const PackPlan& plan, const PackStats& stats);

// The payload command's output: the array alone.
void write_payload(const PackPlan& plan);
