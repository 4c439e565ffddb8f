#include "bootstrap/payload_reader.h"

// The payload array and its length, placed in the image by the packer's object file.
extern "C" const unsigned char zobrin_payload[];
extern "C" const uint64_t zobrin_payload_length;

void payload_open(void) {
  payload_open_array(zobrin_payload, zobrin_payload_length);
}
