#include "payload/payload_list.h"

#include <cinttypes>
#include <cstdio>

#include "payload/payload_read.h"
#include "payload/utf.h"

void payload_list(const std::vector<unsigned char>& file, const std::string& subject) {
  PayloadArray array = payload_locate(file, subject);
  std::printf("payload: %" PRIu64 " bytes, table %" PRIu64 " bytes, stream %" PRIu64 " bytes\n",
              array.length, array.table, array.stream);
  std::printf("%5s %14s  %s\n", "flags", "size", "name");
  uint64_t entries = 0;
  uint64_t total = 0;
  payload_entries(array, subject, [&](const PayloadEntry& entry) {
    std::printf("%5" PRIu32 " %14" PRIu64 "  %s%s%s\n", entry.flags, entry.size,
                utf_16_to_8(entry.name).c_str(), entry.second.empty() ? "" : " -> ",
                utf_16_to_8(entry.second).c_str());
    entries++;
    total += entry.size;
  });
  std::printf("%" PRIu64 " entries, %" PRIu64 " bytes\n", entries, total);
}
