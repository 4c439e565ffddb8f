// Wraps a payload array in an x86-64 COFF object: one read-only section ".zobrin", aligned
// to 16 bytes, holding the section head (the array's length, digest, run flags and content
// key) and the array. The symbols zobrin_payload_length, zobrin_payload_digest,
// zobrin_payload_flags, zobrin_payload_key and zobrin_payload name them.
#pragma once

#include <cstdint>

class OutputFile;
struct SectionHead;

// Writes the object's headers; the payload follows at the file's current position. Returns
// where the object starts, for coff_end.
uint64_t coff_begin(OutputFile& out);

// Completes the object once the payload `head` describes has been written.
void coff_end(OutputFile& out, uint64_t start, const SectionHead& head);
