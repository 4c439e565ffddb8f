#include "format/section_tail.h"

#include "format/little_endian.h"
#include "format/payload_format.h"

SectionTailResult section_tail_parse(const unsigned char* after, uint64_t room, uint64_t flags,
                                     SectionTail* tail) {
  tail->digests = nullptr;
  tail->digest_count = 0;
  tail->settings = nullptr;
  tail->settings_bytes = 0;
  tail->bytes = 0;
  // A damaged count or length must not send a reader beyond the section.
  if (flags & ZB_RUN_FLAG_CACHE) {
    if (room < ZB_FILE_DIGESTS_COUNT_BYTES) return SECTION_TAIL_DIGESTS_PAST;
    uint64_t count = le_read_u64(after);
    if (count > (room - ZB_FILE_DIGESTS_COUNT_BYTES) / ZB_FILE_DIGEST_BYTES) {
      return SECTION_TAIL_DIGESTS_PAST;
    }
    tail->digests = after + ZB_FILE_DIGESTS_COUNT_BYTES;
    tail->digest_count = count;
    tail->bytes = ZB_FILE_DIGESTS_COUNT_BYTES + count * ZB_FILE_DIGEST_BYTES;
  }
  if (flags & ZB_RUN_FLAG_SETTINGS) {
    uint64_t left = room - tail->bytes;
    if (left < ZB_SETTINGS_LENGTH_BYTES) return SECTION_TAIL_SETTINGS_PAST;
    uint64_t records = le_read_u64(after + tail->bytes);
    if (records > left - ZB_SETTINGS_LENGTH_BYTES) return SECTION_TAIL_SETTINGS_PAST;
    const unsigned char* start = after + tail->bytes + ZB_SETTINGS_LENGTH_BYTES;
    if (!payload_settings_find(start, records, /* kind */ 0, /* value */ nullptr,
                               /* length */ nullptr)) {
      return SECTION_TAIL_SETTINGS_MALFORMED;
    }
    tail->settings = start;
    tail->settings_bytes = records;
    tail->bytes += ZB_SETTINGS_LENGTH_BYTES + records;
  }
  return SECTION_TAIL_OK;
}

const unsigned char* section_tail_setting(const SectionTail* tail, uint32_t kind,
                                          uint32_t* length) {
  const unsigned char* value = nullptr;
  *length = 0;
  if (tail->settings != nullptr) {
    payload_settings_find(tail->settings, tail->settings_bytes, kind, &value, length);
  }
  return value;
}
