// Walks the payload linked into this program the way extraction does (32768-byte reads),
// printing each entry and a hash of its bytes instead of writing files.
#include <stdint.h>
#include <stdio.h>
#include <windows.h>

#include "base/limits.h"
#include "base/payload_format.h"
#include "bootstrap/payload_reader.h"

static unsigned char walk_chunk[ZB_WRITE_CHUNK_BYTES];

static void walk_print_name(const unsigned char* units, uint32_t count) {
  if (count > 64) {
    printf("<%u units>", count);
    return;
  }
  wchar_t wide[65];
  for (uint32_t i = 0; i < count; i++) wide[i] = (wchar_t)(units[2 * i] | (units[2 * i + 1] << 8));
  char utf8[65 * 4];
  int n = WideCharToMultiByte(CP_UTF8, 0, wide, (int)count, utf8, sizeof utf8, nullptr, nullptr);
  fwrite(utf8, 1, (size_t)n, stdout);
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  payload_open();
  if (!payload_table_empty()) {
    for (;;) {
      PayloadEntry entry;
      payload_next_entry(&entry);
      uint64_t hash = 1469598103934665603ull;
      for (uint64_t left = entry.size; left > 0;) {
        uint32_t chunk = left < ZB_WRITE_CHUNK_BYTES ? (uint32_t)left : ZB_WRITE_CHUNK_BYTES;
        payload_read(walk_chunk, chunk);
        for (uint32_t i = 0; i < chunk; i++) hash = (hash ^ walk_chunk[i]) * 1099511628211ull;
        left -= chunk;
      }
      printf("entry %u %llu ", entry.flags, (unsigned long long)entry.size);
      walk_print_name(entry.name, entry.name_units);
      if (entry.second != nullptr) {
        printf(" -> ");
        walk_print_name(entry.second, entry.second_units);
      }
      printf(" %016llx\n", (unsigned long long)hash);
      if (entry.flags & ZB_ENTRY_FLAG_LAST) break;
    }
  }
  printf("decoder calls %llu\n", (unsigned long long)payload_decoder_calls());
  payload_finish();
  printf("finished\n");
  return 0;
}
