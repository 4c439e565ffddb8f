// The payload image: the array linked into this executable with what its section head and
// tail say about it, checked once and then passed as a value to every step that reads it. The
// driver owns it; nothing of it lives at file scope.
#pragma once

#include <stdint.h>

#include "format/payload_table.h"
#include "format/section_tail.h"

struct PayloadImage {
  // The array (its header sizes checked) and its length L.
  const unsigned char* array;
  uint64_t length;
  // The run flags (ZB_RUN_FLAG_*, no unknown bit) and the content key of the section head.
  uint64_t flags;
  uint64_t key;
  // The array's table, and what follows the array: the file digests and the settings.
  PayloadTable table;
  SectionTail tail;
};

// Checks the section head of the array linked into the image and fills `image`: the length
// must fit the image section that holds it (with the file digests and the settings after the
// array, when the run flags announce them), the settings must be well formed, the digest must
// match the array's header and table, the tail and the head's length, run flags and content
// key (payload_digest), so a damaged flag, key, file digest or setting is caught like a
// damaged table; the run flags hold no bit the launcher does not know, and the header's sizes
// fit the array. Creates nothing. Fatal: header error.
void payload_image_open(PayloadImage* image);

// The setting of `kind` (ZB_SETTING_*) recorded after the array: its bytes, with their count
// in *length, or null (and 0) when the executable has none.
const unsigned char* payload_image_setting(const PayloadImage* image, uint32_t kind,
                                           uint32_t* length);
