// Runs the extraction walk on a payload array read from a file, into a directory that exists.
// Usage: extract_probe ahead|alone ARRAY_FILE DIRECTORY
// (a failing write comes through the fault seam: ZOBRIN_TEST_FAULT)
// "alone" decodes and closes every file on the walk's thread; "ahead" with the read-ahead and
// the closer's thread. A fatal exit closes the open file, stops the read-ahead and waits for
// the closer, and leaves what was written for the test to compare.
// Prints "finished" after a walk that ends well, and last, in either case, "frames ahead N":
// the frames the frame workers handed out whole.
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

#include "base/fatal.h"
#include "base/limits.h"
#include "cleanup/run_context.h"
#include "extract/extract.h"
#include "payload/payload_reader.h"

static RunContext probe_run;
static PayloadReader probe_reader;
static Extractor probe_extractor;

static void probe_print_frames(void) {
  printf("frames ahead %llu\n", (unsigned long long)probe_reader.frames_handed);
}

static void probe_release(void* extractor) {
  extract_release_file(static_cast<Extractor*>(extractor));
  probe_print_frames();
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int argc = *__p___argc();
  wchar_t** argv = *__p___wargv();
  if (argc < 4 || wcslen(argv[3]) >= ZB_PATH_UNITS) return 100;
  HANDLE file = CreateFileW(argv[2], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                            nullptr);
  LARGE_INTEGER size;
  if (file == INVALID_HANDLE_VALUE || !GetFileSizeEx(file, &size)) return 101;
  unsigned char* array = (unsigned char*)malloc((size_t)size.QuadPart + 1);
  DWORD got = 0;
  if (array == nullptr || !ReadFile(file, array, (DWORD)size.QuadPart, &got, nullptr) ||
      got != (DWORD)size.QuadPart) {
    return 102;
  }
  CloseHandle(file);
  extract_init(&probe_extractor, &probe_run, &probe_reader);
  probe_extractor.read_ahead = wcscmp(argv[1], L"ahead") == 0;
  probe_extractor.closer_thread = probe_extractor.read_ahead;
  wcscpy(probe_run.payload_directory, argv[3]);
  fatal_set_cleanup(probe_release, &probe_extractor);
  payload_open_array(&probe_reader, array, (uint64_t)size.QuadPart);
  extract_walk(&probe_extractor);
  puts("finished");
  probe_print_frames();
  return 0;
}
