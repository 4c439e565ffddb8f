// Walks the payload linked into this program the way extraction does (32768-byte reads),
// printing each entry and a hash of its bytes instead of writing files.
// With the arguments "dll DIR", takes the child's step instead: prints "dll <path>", the
// main DLL path below DIR.
#include <stdint.h>
#include <stdio.h>
#include <wchar.h>
#include <windows.h>

#include "base/limits.h"
#include "extract/extract.h"
#include "format/little_endian.h"
#include "format/payload_format.h"
#include "payload/payload_reader.h"

static unsigned char walk_chunk[ZB_WRITE_CHUNK_BYTES];

static void walk_print_name(const unsigned char* units, uint32_t count) {
  if (count > 64) {
    printf("<%u units>", count);
    return;
  }
  wchar_t wide[65];
  for (uint32_t i = 0; i < count; i++) wide[i] = (wchar_t)le_read_u16(units + 2 * i);
  char utf8[65 * 4];
  int n = WideCharToMultiByte(CP_UTF8, 0, wide, (int)count, utf8, sizeof utf8, nullptr, nullptr);
  fwrite(utf8, 1, (size_t)n, stdout);
}

static PayloadReader walk_reader;
static PayloadImage walk_image;

static int walk_dll_path(const wchar_t* directory) {
  if (wcslen(directory) >= ZB_PATH_UNITS) return 100;
  static wchar_t dll_path[ZB_PATH_UNITS];
  payload_image_open(&walk_image);
  extract_dll_path(walk_image.table, directory, dll_path);
  char utf8[ZB_PATH_UNITS * 4];
  WideCharToMultiByte(CP_UTF8, 0, dll_path, -1, utf8, sizeof utf8, nullptr, nullptr);
  printf("dll %s\n", utf8);
  return 0;
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int argc = *__p___argc();
  wchar_t** argv = *__p___wargv();
  if (argc == 3 && wcscmp(argv[1], L"dll") == 0) return walk_dll_path(argv[2]);
  payload_image_open(&walk_image);
  payload_open(&walk_reader, &walk_image);
  TableCursor cursor = table_cursor(walk_reader.table);
  if (!table_empty(walk_reader.table)) {
    for (;;) {
      PayloadEntry entry;
      payload_next_entry(&cursor, &entry);
      uint64_t hash = 1469598103934665603ull;
      for (uint64_t left = entry.size; left > 0;) {
        uint32_t chunk = left < ZB_WRITE_CHUNK_BYTES ? (uint32_t)left : ZB_WRITE_CHUNK_BYTES;
        payload_read(&walk_reader, walk_chunk, chunk);
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
  printf("decoder calls %llu\n", (unsigned long long)walk_reader.decoder.calls);
  payload_check_table_end(&cursor);
  payload_finish(&walk_reader);
  printf("finished\n");
  return 0;
}
