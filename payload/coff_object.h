// Wraps a payload array in an x86-64 COFF object: one read-only section ".zobrin", aligned
// to 16 bytes, holding the 8-byte length, 8 zero bytes and the array. The symbols
// zobrin_payload_length and zobrin_payload name the length and the array.
#pragma once

#include <cstdint>

class OutputFile;

// Writes the object's headers; the payload follows at the file's current position. Returns
// where the object starts, for coff_end.
uint64_t coff_begin(OutputFile& out);

// Completes the object once `payload_length` bytes of payload have been written.
void coff_end(OutputFile& out, uint64_t start, uint64_t payload_length);
