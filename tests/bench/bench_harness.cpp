// The benchmark's Windows timing harness. Every time is taken with QueryPerformanceCounter
// inside this process, so Wine's start-up of the outer process is never part of a figure.
//
//   run N PROGRAM [ARGS...]     N times: CreateProcessW(PROGRAM ARGS) and wait. One line per
//                               run: "ms=T code=C".
//   memory PROGRAM [ARGS...]    one run, polling the process's memory counters every
//                               millisecond until it ends: "peak_ws=N peak_pagefile=N polls=N".
//   compare N EXE HOST          N rounds of: one launch of EXE ("launch ms=T code=C"); the
//                               write floor ("floor ms=T write=T start=T remove=T files=N
//                               dirs=N": create the directories and files of EXE's payload
//                               below %TEMP%, write them from memory in 32768-byte chunks,
//                               start HOST with the first file, the application DLL, and wait,
//                               delete files and directories); the decode floor ("decode ms=T
//                               bytes=N": decode EXE's stream front to back into one
//                               131072-byte buffer); the overlapped floor ("overlap ms=T ...",
//                               fields as the write floor's: the write floor with the decode
//                               floor's work on a second thread at the same time). The payload
//                               is decoded into memory once, before the first round, not timed.
//   phases EXE [floor-first]    the launcher's own extraction and removal code on EXE's payload,
//                               in this process, and the floor's removal (every file, then
//                               every directory, by name) of the same tree extracted again,
//                               after it or (floor-first) before it:
//                               "extract=T remove=T floor_remove=T mkdir_calls=N".
//   cached N PLAIN EXE HOST     N rounds, EXE packed with --cache and PLAIN the same payload
//                               without: its cache directory removed (not timed); one launch
//                               of PLAIN ("plain ms=T"); a first start of EXE ("cold ms=T"); a
//                               later one ("warm ms=T"); HOST started with the cached main DLL
//                               ("host ms=T"); the read-and-hash floor, in this process
//                               ("hash ms=T files=N bytes=N"): every file of the table in the
//                               cache directory opened once, read in 1 MiB requests and
//                               hashed (XXH64), on as many threads as the launcher uses.
//   tiny N EXE HOST DLL         N rounds of: one launch of EXE, HOST started with DLL, HOST
//                               started alone (an empty process): "tiny launch=T host=T
//                               empty=T code=C".
//   vs N EXE_A EXE_B            N rounds of one launch of each, the order swapped every round:
//                               "vs a=T b=T code=C" (two builds of a launcher, interleaved).
//   frames N EXE                N rounds of decoding EXE's stream, cut into frames, with 1 to
//                               P threads (P the processors, at most 8), each taking whole
//                               frames into a buffer of its own: "frames threads=K ms=T
//                               frames=F" (the decoder's speed-up per thread).
//   wsnow                       this process's own memory figures, for the baseline.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>
#include <psapi.h>
#include <shlobj.h>

#include <zstd.h>

#include "base/fault_seam_query.h"
#include "base/file_digest.h"
#include "base/limits.h"
#include "cleanup/held_files.h"
#include "cleanup/remove_tree.h"
#include "cleanup/remove_written.h"
#include "extract/extract.h"
#include "extract/table_names.h"
#include "format/little_endian.h"
#include "format/payload_format.h"
#include "payload/payload_reader.h"
#include "run/command_line.h"
#include "run/launch.h"

namespace {

constexpr uint32_t BENCH_LINE_UNITS = 32768;

struct BenchEntry {
  wchar_t* path;          // below the run's root, filled per run
  const wchar_t* name;    // relative name
  uint64_t size;
  uint64_t offset;        // into the decoded data
  uint32_t first_dir;     // directories to create before this file: [first_dir, end_dir)
  uint32_t end_dir;
};

struct BenchPayload {
  const unsigned char* array;
  uint64_t length;
  uint64_t key;           // the content key of the section head
  const unsigned char* stream;
  uint64_t stream_size;
  BenchEntry* entries;
  uint32_t count;
  wchar_t** dir_names;    // relative directory names in creation order
  uint32_t dir_count;
  unsigned char* data;    // the decoded stream
  uint64_t data_size;
};

double bench_now_ms(void) {
  static LARGE_INTEGER frequency = {};
  if (frequency.QuadPart == 0) QueryPerformanceFrequency(&frequency);
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return (double)now.QuadPart * 1000.0 / (double)frequency.QuadPart;
}

[[noreturn]] void bench_fail(const char* what) {
  fprintf(stderr, "bench_harness: %s (error %lu)\n", what, GetLastError());
  fflush(stderr);
  ExitProcess(3);
}

unsigned char* bench_read_file(const wchar_t* path, uint64_t* size) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) bench_fail("cannot open the executable");
  LARGE_INTEGER length;
  if (!GetFileSizeEx(file, &length)) bench_fail("cannot size the executable");
  unsigned char* data = (unsigned char*)malloc((size_t)length.QuadPart + 1);
  if (data == nullptr) bench_fail("out of memory");
  uint64_t done = 0;
  while (done < (uint64_t)length.QuadPart) {
    DWORD want = (DWORD)((uint64_t)length.QuadPart - done > (1u << 30) ? (1u << 30)
                                                                       : (uint64_t)length.QuadPart - done);
    DWORD got = 0;
    if (!ReadFile(file, data + done, want, &got, nullptr) || got == 0) bench_fail("cannot read");
    done += got;
  }
  CloseHandle(file);
  *size = done;
  return data;
}

// Finds the payload array in a built executable: section ".zobrin" holds the section head
// (the array's length and digest), then the array.
void bench_find_payload(const unsigned char* image, uint64_t size, BenchPayload* payload) {
  if (size < 0x40) bench_fail("not a PE file");
  uint32_t pe = le_read_u32(image + 0x3C);
  if ((uint64_t)pe + 24 > size) bench_fail("not a PE file");
  uint32_t sections = le_read_u16(image + pe + 6);
  uint32_t optional = le_read_u16(image + pe + 20);
  const unsigned char* table = image + pe + 24 + optional;
  for (uint32_t i = 0; i < sections; i++) {
    const unsigned char* section = table + 40 * i;
    if (memcmp(section, ".zobrin", 8) != 0) continue;
    uint32_t raw = le_read_u32(section + 20);
    payload->length = le_read_u64(image + raw + ZB_SECTION_LENGTH_OFFSET);
    payload->key = le_read_u64(image + raw + ZB_SECTION_KEY_OFFSET);
    payload->array = image + raw + ZB_SECTION_HEAD_BYTES;
    return;
  }
  bench_fail("no payload section");
}

// Parses the table and decodes the whole stream into memory (not timed). Directory names are
// collected in the order the walk first needs them, so each is created once, top down.
void bench_load(const wchar_t* exe, BenchPayload* payload) {
  uint64_t size = 0;
  unsigned char* image = bench_read_file(exe, &size);
  bench_find_payload(image, size, payload);
  const unsigned char* a = payload->array;
  uint64_t table_size = le_read_u64(a);
  payload->stream_size = le_read_u64(a + 8);
  payload->stream = a + 16 + table_size;
  uint32_t capacity = 1024;
  payload->entries = (BenchEntry*)malloc(capacity * sizeof(BenchEntry));
  uint32_t dir_capacity = 1024;
  payload->dir_names = (wchar_t**)malloc(dir_capacity * sizeof(wchar_t*));
  payload->count = 0;
  payload->dir_count = 0;
  uint64_t p = 16;
  uint64_t offset = 0;
  for (;;) {
    uint32_t flags = le_read_u32(a + p);
    uint64_t file_size = le_read_u64(a + p + 4);
    const unsigned char* units = a + p + 12;
    uint32_t n = 0;
    while (le_read_u16(units + 2 * n) != 0) n++;
    wchar_t* name = (wchar_t*)malloc((n + 1) * sizeof(wchar_t));
    for (uint32_t i = 0; i < n; i++) name[i] = (wchar_t)le_read_u16(units + 2 * i);
    name[n] = 0;
    if (payload->count == capacity) {
      capacity *= 2;
      payload->entries = (BenchEntry*)realloc(payload->entries, capacity * sizeof(BenchEntry));
    }
    BenchEntry* entry = &payload->entries[payload->count++];
    entry->name = name;
    entry->size = file_size;
    entry->offset = offset;
    entry->path = (wchar_t*)malloc(ZB_PATH_UNITS * sizeof(wchar_t));
    entry->first_dir = payload->dir_count;
    for (uint32_t i = 0; i < n; i++) {
      if (name[i] != L'\\') continue;
      bool known = false;
      for (uint32_t d = payload->dir_count; d-- > 0;) {
        if (wcsncmp(payload->dir_names[d], name, i) == 0 && payload->dir_names[d][i] == 0) {
          known = true;
          break;
        }
      }
      if (known) continue;
      if (payload->dir_count == dir_capacity) {
        dir_capacity *= 2;
        payload->dir_names = (wchar_t**)realloc(payload->dir_names, dir_capacity * sizeof(wchar_t*));
      }
      wchar_t* dir = (wchar_t*)malloc((i + 1) * sizeof(wchar_t));
      memcpy(dir, name, i * sizeof(wchar_t));
      dir[i] = 0;
      payload->dir_names[payload->dir_count++] = dir;
    }
    entry->end_dir = payload->dir_count;
    offset += file_size;
    p += 12 + 2 * (uint64_t)n + 2;
    if (flags & ZB_ENTRY_FLAG_LAST) break;
  }
  payload->data_size = offset;
  payload->data = (unsigned char*)malloc(offset + 1);
  if (payload->data == nullptr) bench_fail("out of memory");
  size_t result = ZSTD_decompress(payload->data, offset, payload->stream, payload->stream_size);
  if (ZSTD_isError(result) || result != offset) bench_fail("cannot decode the payload");
}

// Starts `line` (writable) with the harness's standard handles, like the launcher starts its
// child; returns the process handle.
HANDLE bench_start(const wchar_t* program, wchar_t* line) {
  STARTUPINFOW startup;
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process;
  memset(&process, 0, sizeof process);
  if (!CreateProcessW(program, line, /* lpProcessAttributes */ nullptr,
                      /* lpThreadAttributes */ nullptr, /* bInheritHandles */ TRUE,
                      /* dwCreationFlags */ NORMAL_PRIORITY_CLASS, /* lpEnvironment */ nullptr,
                      /* lpCurrentDirectory */ nullptr, &startup, &process)) {
    bench_fail("CreateProcessW failed");
  }
  CloseHandle(process.hThread);
  return process.hProcess;
}

void bench_line(wchar_t* line, wchar_t** elements, int count) {
  if (!command_line_build(line, BENCH_LINE_UNITS, elements, count)) bench_fail("line too long");
}

// Starts `program` with `line`, waits for it: its milliseconds; the exit code into `code`.
double bench_start_and_wait(const wchar_t* program, wchar_t* line, DWORD* code) {
  double start = bench_now_ms();
  HANDLE process = bench_start(program, line);
  WaitForSingleObject(process, INFINITE);
  double end = bench_now_ms();
  *code = 0;
  GetExitCodeProcess(process, code);
  CloseHandle(process);
  return end - start;
}

// One start of `elements`, timed, as bench_start_and_wait.
double bench_once(wchar_t** elements, int element_count, DWORD* code) {
  static wchar_t line[BENCH_LINE_UNITS];
  bench_line(line, elements, element_count);
  return bench_start_and_wait(elements[0], line, code);
}

int bench_run(int count, wchar_t** elements, int element_count) {
  for (int run = 0; run < count; run++) {
    DWORD code = 0;
    double ms = bench_once(elements, element_count, &code);
    printf("ms=%.3f code=%lu\n", ms, code);
    fflush(stdout);
  }
  return 0;
}

int bench_tiny(int count, wchar_t* exe, wchar_t* host, wchar_t* dll) {
  wchar_t* launch[] = {exe};
  wchar_t* hosted[] = {host, dll};
  for (int round = 0; round < count; round++) {
    DWORD code = 0, host_code = 0, empty_code = 0;
    double launch_ms = bench_once(launch, 1, &code);
    double host_ms = bench_once(hosted, 2, &host_code);
    double empty_ms = bench_once(hosted, 1, &empty_code);
    printf("tiny launch=%.3f host=%.3f empty=%.3f code=%lu\n", launch_ms, host_ms, empty_ms,
           code | host_code);
    fflush(stdout);
  }
  return 0;
}

int bench_memory(wchar_t** elements, int element_count) {
  static wchar_t line[BENCH_LINE_UNITS];
  bench_line(line, elements, element_count);
  HANDLE process = bench_start(elements[0], line);
  SIZE_T peak_ws = 0, peak_pagefile = 0;
  unsigned polls = 0;
  for (;;) {
    DWORD waited = WaitForSingleObject(process, 1);
    PROCESS_MEMORY_COUNTERS counters;
    memset(&counters, 0, sizeof counters);
    if (waited != WAIT_OBJECT_0 && K32GetProcessMemoryInfo(process, &counters, sizeof counters)) {
      polls++;
      if (counters.PeakWorkingSetSize > peak_ws) peak_ws = counters.PeakWorkingSetSize;
      if (counters.PeakPagefileUsage > peak_pagefile) peak_pagefile = counters.PeakPagefileUsage;
    }
    if (waited == WAIT_OBJECT_0) break;
  }
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  CloseHandle(process);
  printf("peak_ws=%llu peak_pagefile=%llu polls=%u code=%lu\n", (unsigned long long)peak_ws,
         (unsigned long long)peak_pagefile, polls, code);
  return 0;
}

void bench_join(wchar_t* out, const wchar_t* root, const wchar_t* name) {
  if (swprintf(out, ZB_PATH_UNITS, L"%ls\\%ls", root, name) < 0) bench_fail("path too long");
}

void bench_temp_root(wchar_t* root, const wchar_t* label, int run) {
  wchar_t temp[MAX_PATH + 1];
  DWORD n = GetTempPathW(MAX_PATH + 1, temp);
  if (n == 0 || n > MAX_PATH) bench_fail("GetTempPathW failed");
  swprintf(root, ZB_PATH_UNITS, L"%lsbench_%ls_%lu_%d", temp, label, GetCurrentProcessId(), run);
}

void bench_floor_decode_once(const BenchPayload* payload);
double bench_decode_stream(const BenchPayload* payload, uint64_t* produced);

static DWORD WINAPI bench_decode_thread(void* payload) {
  uint64_t produced = 0;
  bench_decode_stream(static_cast<const BenchPayload*>(payload), &produced);
  return 0;
}

// One run of the write floor; prints its line. With `overlap`, the stream is decoded on a
// second thread while the files are written (the "overlap" line: the limit of a launcher
// that decodes and writes at once).
void bench_floor_write_once(const BenchPayload* payload, wchar_t** dirs, const wchar_t* host,
                            int run, bool overlap = false) {
  static wchar_t root[ZB_PATH_UNITS];
  static wchar_t line[BENCH_LINE_UNITS];
  // Paths are made before the clock starts: the floor is the system calls only.
  bench_temp_root(root, overlap ? L"overlap" : L"floor", run);
  for (uint32_t i = 0; i < payload->count; i++) bench_join(payload->entries[i].path, root, payload->entries[i].name);
  for (uint32_t d = 0; d < payload->dir_count; d++) bench_join(dirs[d], root, payload->dir_names[d]);
  wchar_t* elements[2] = {(wchar_t*)host, payload->entries[0].path};
  bench_line(line, elements, 2);

  double start = bench_now_ms();
  HANDLE decoder = nullptr;
  if (overlap) {
    decoder = CreateThread(nullptr, 0, bench_decode_thread, (void*)payload, 0, nullptr);
    if (decoder == nullptr) bench_fail("CreateThread");
  }
  if (!CreateDirectoryW(root, nullptr)) bench_fail("CreateDirectoryW root");
  for (uint32_t i = 0; i < payload->count; i++) {
    const BenchEntry* entry = &payload->entries[i];
    for (uint32_t d = entry->first_dir; d < entry->end_dir; d++) {
      if (!CreateDirectoryW(dirs[d], nullptr)) bench_fail("CreateDirectoryW");
    }
    HANDLE file = CreateFileW(entry->path, GENERIC_WRITE, FILE_SHARE_WRITE,
                              /* lpSecurityAttributes */ nullptr, CREATE_ALWAYS,
                              /* dwFlagsAndAttributes */ 0, /* hTemplateFile */ nullptr);
    if (file == INVALID_HANDLE_VALUE) bench_fail("CreateFileW");
    const unsigned char* data = payload->data + entry->offset;
    for (uint64_t left = entry->size; left != 0;) {
      DWORD chunk = left < ZB_WRITE_CHUNK_BYTES ? (DWORD)left : ZB_WRITE_CHUNK_BYTES;
      DWORD written = 0;
      if (!WriteFile(file, data, chunk, &written, nullptr)) bench_fail("WriteFile");
      data += chunk;
      left -= chunk;
    }
    CloseHandle(file);
  }
  if (decoder != nullptr) {
    WaitForSingleObject(decoder, INFINITE);
    CloseHandle(decoder);
  }
  double written_at = bench_now_ms();
  HANDLE process = bench_start(host, line);
  WaitForSingleObject(process, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  CloseHandle(process);
  double started_at = bench_now_ms();
  for (uint32_t i = 0; i < payload->count; i++) {
    if (!DeleteFileW(payload->entries[i].path)) bench_fail("DeleteFileW");
  }
  for (uint32_t d = payload->dir_count; d-- > 0;) {
    if (!RemoveDirectoryW(dirs[d])) bench_fail("RemoveDirectoryW");
  }
  if (!RemoveDirectoryW(root)) bench_fail("RemoveDirectoryW root");
  double end = bench_now_ms();
  if (code != 0) bench_fail("the application failed");
  printf("%s ms=%.3f write=%.3f start=%.3f remove=%.3f files=%u dirs=%u\n",
         overlap ? "overlap" : "floor", end - start,
         written_at - start, started_at - written_at, end - started_at, payload->count,
         payload->dir_count + 1);
  fflush(stdout);
}

wchar_t** bench_dir_buffers(const BenchPayload* payload) {
  wchar_t** dirs = (wchar_t**)malloc((payload->dir_count + 1) * sizeof(wchar_t*));
  for (uint32_t d = 0; d < payload->dir_count; d++) {
    dirs[d] = (wchar_t*)malloc(ZB_PATH_UNITS * sizeof(wchar_t));
  }
  return dirs;
}

// Decodes the whole stream into one 131072-byte buffer; returns the time taken.
double bench_decode_stream(const BenchPayload* payload, uint64_t* produced_out) {
  double start = bench_now_ms();
  unsigned char* buffer = (unsigned char*)malloc(ZB_DECODE_BUFFER_BYTES);
  ZSTD_DCtx* context = ZSTD_createDCtx();
  if (buffer == nullptr || context == nullptr) bench_fail("out of memory");
  ZSTD_inBuffer in = {payload->stream, (size_t)payload->stream_size, 0};
  uint64_t produced = 0;
  bool filled = false;
  while (in.pos < in.size || filled) {
    ZSTD_outBuffer out = {buffer, ZB_DECODE_BUFFER_BYTES, 0};
    size_t result = ZSTD_decompressStream(context, &out, &in);
    if (ZSTD_isError(result)) bench_fail("decode error");
    filled = out.pos == ZB_DECODE_BUFFER_BYTES;
    produced += out.pos;
  }
  ZSTD_freeDCtx(context);
  free(buffer);
  *produced_out = produced;
  return bench_now_ms() - start;
}

// One run of the decode floor; prints its line.
void bench_floor_decode_once(const BenchPayload* payload) {
  uint64_t produced = 0;
  double ms = bench_decode_stream(payload, &produced);
  printf("decode ms=%.3f bytes=%llu\n", ms, (unsigned long long)produced);
  fflush(stdout);
}

// One launch of `exe`, timed; prints its line.
void bench_launch_once(const wchar_t* exe) {
  wchar_t* elements[1] = {(wchar_t*)exe};
  DWORD code = 0;
  double ms = bench_once(elements, 1, &code);
  printf("launch ms=%.3f code=%lu\n", ms, code);
  fflush(stdout);
}

// Launch, write floor and decode floor in turn, N rounds, so that all three see the same
// state of the machine (the disk's write-back in particular varies over a minute).
int bench_compare(int count, const wchar_t* exe, const wchar_t* host) {
  BenchPayload payload;
  bench_load(exe, &payload);
  wchar_t** dirs = bench_dir_buffers(&payload);
  for (int run = 0; run < count; run++) {
    bench_launch_once(exe);
    bench_floor_write_once(&payload, dirs, host, run);
    bench_floor_decode_once(&payload);
    bench_floor_write_once(&payload, dirs, host, run, /* overlap */ true);
  }
  return 0;
}

// One timed start of `line`; prints "<label> ms=T code=C".
void bench_timed(const char* label, const wchar_t* program, wchar_t* line) {
  DWORD code = 0;
  double ms = bench_start_and_wait(program, line, &code);
  printf("%s ms=%.3f code=%lu\n", label, ms, code);
  fflush(stdout);
}

// The read-and-hash floor's shared work: the files and the next one to take.
struct BenchHashWork {
  BenchPayload* payload;
  volatile LONG next;
  volatile LONG64 bytes;
  volatile LONG failed;
};

DWORD WINAPI bench_hash_files(LPVOID parameter) {
  BenchHashWork* work = static_cast<BenchHashWork*>(parameter);
  unsigned char* buffer = static_cast<unsigned char*>(malloc(ZB_VERIFY_READ_BYTES));
  for (;;) {
    LONG index = InterlockedIncrement(&work->next) - 1;
    if (index >= (LONG)work->payload->count) break;
    HANDLE file = CreateFileW(work->payload->entries[index].path, GENERIC_READ, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      InterlockedExchange(&work->failed, 1);
      continue;
    }
    FileDigest digest;
    file_digest_start(&digest);
    for (uint64_t left = work->payload->entries[index].size; left != 0;) {
      DWORD want = left < ZB_VERIFY_READ_BYTES ? (DWORD)left : ZB_VERIFY_READ_BYTES;
      DWORD got = 0;
      if (!ReadFile(file, buffer, want, &got, nullptr) || got == 0) {
        InterlockedExchange(&work->failed, 1);
        break;
      }
      file_digest_update(&digest, buffer, got);
      left -= got;
      InterlockedAdd64(&work->bytes, got);
    }
    // Kept, so the compiler cannot drop the hashing.
    if (file_digest_finish(&digest) == 0) InterlockedIncrement(&work->failed);
    CloseHandle(file);
  }
  free(buffer);
  return 0;
}

// The read-and-hash floor over the payload's files below `directory`: as many threads as the
// launcher's check takes (this one included). Prints "hash ms=T files=N bytes=N".
void bench_hash_floor(BenchPayload* payload, const wchar_t* directory) {
  for (uint32_t i = 0; i < payload->count; i++) {
    bench_join(payload->entries[i].path, directory, payload->entries[i].name);
  }
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  uint32_t threads = system.dwNumberOfProcessors;
  if (threads > ZB_VERIFY_THREADS_MAX) threads = ZB_VERIFY_THREADS_MAX;
  if (threads > payload->count) threads = payload->count;
  BenchHashWork work = {payload, 0, 0, 0};
  double start = bench_now_ms();
  HANDLE helpers[ZB_VERIFY_THREADS_MAX];
  uint32_t started = 0;
  for (uint32_t i = 1; i < threads; i++) {
    helpers[started] = CreateThread(nullptr, ZB_VERIFY_STACK_BYTES, bench_hash_files, &work,
                                    STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (helpers[started] != nullptr) started++;
  }
  bench_hash_files(&work);
  if (started > 0) WaitForMultipleObjects(started, helpers, TRUE, INFINITE);
  double end = bench_now_ms();
  for (uint32_t i = 0; i < started; i++) CloseHandle(helpers[i]);
  if (work.failed) bench_fail("the cached copy is not whole");
  printf("hash ms=%.3f files=%u bytes=%lld\n", end - start, payload->count,
         (long long)work.bytes);
  fflush(stdout);
}

// The cache directory the launcher computes for `exe` started by this path: the file name
// without ".exe", the place (FNV-1a 64 over the upper-cased path, low 32 bits) and the key.
void bench_cache_directory(wchar_t* directory, const wchar_t* exe, uint64_t key) {
  wchar_t folder[MAX_PATH];
  if (SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, folder) != S_OK) {
    bench_fail("no local application data folder");
  }
  wchar_t full[ZB_PATH_UNITS];
  wchar_t upper[ZB_PATH_UNITS];
  GetFullPathNameW(exe, ZB_PATH_UNITS, full, nullptr);
  int units = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, full, -1, upper,
                            ZB_PATH_UNITS, nullptr, nullptr, 0);
  uint64_t place = payload_digest_update(ZB_DIGEST_START,
                                         reinterpret_cast<const unsigned char*>(upper),
                                         (uint64_t)(units - 1) * sizeof(wchar_t));
  const wchar_t* name = wcsrchr(full, L'\\');
  name = name != nullptr ? name + 1 : full;
  size_t base = wcslen(name);
  if (base >= 4 && _wcsicmp(name + base - 4, L".exe") == 0) base -= 4;
  swprintf(directory, ZB_PATH_UNITS, L"%ls\\zobrin-onefile\\%.*ls-%08llx-%016llx", folder,
           (int)base, name, (unsigned long long)(place & 0xFFFFFFFFu), (unsigned long long)key);
}

int bench_cached(int count, const wchar_t* plain, const wchar_t* exe, const wchar_t* host) {
  BenchPayload payload;
  bench_load(exe, &payload);
  static wchar_t directory[ZB_PATH_UNITS];
  static wchar_t lock[ZB_PATH_UNITS];
  static wchar_t path[ZB_PATH_UNITS];
  static wchar_t plain_line[BENCH_LINE_UNITS];
  static wchar_t exe_line[BENCH_LINE_UNITS];
  static wchar_t host_line[BENCH_LINE_UNITS];
  bench_cache_directory(directory, exe, payload.key);
  swprintf(lock, ZB_PATH_UNITS, L"%ls.lock", directory);
  wchar_t* plain_elements[1] = {(wchar_t*)plain};
  wchar_t* exe_elements[1] = {(wchar_t*)exe};
  bench_join(path, directory, payload.entries[0].name);
  wchar_t* host_elements[2] = {(wchar_t*)host, path};
  for (int run = 0; run < count; run++) {
    cleanup_remove_tree(directory);
    DeleteFileW(lock);
    if (GetFileAttributesW(directory) != INVALID_FILE_ATTRIBUTES) bench_fail("cache stays");
    bench_line(plain_line, plain_elements, 1);
    bench_timed("plain", plain, plain_line);
    bench_line(exe_line, exe_elements, 1);
    bench_timed("cold", exe, exe_line);
    bench_line(exe_line, exe_elements, 1);
    bench_timed("warm", exe, exe_line);
    bench_line(host_line, host_elements, 2);
    bench_timed("host", host, host_line);
    bench_hash_floor(&payload, directory);
  }
  cleanup_remove_tree(directory);
  DeleteFileW(lock);
  return 0;
}

// One extraction of `payload` with the launcher's walk into a fresh directory `label` (the
// launcher creates its payload directory before the walk, as here); its time in *extract_ms.
static RunContext* bench_launcher_extract(const BenchPayload* payload, const wchar_t* label,
                                          double* extract_ms, uint32_t* mkdir_calls) {
  RunContext* run = (RunContext*)calloc(1, sizeof(RunContext));
  PayloadReader* reader = (PayloadReader*)calloc(1, sizeof(PayloadReader));
  Extractor* extractor = (Extractor*)calloc(1, sizeof(Extractor));
  if (run == nullptr || reader == nullptr || extractor == nullptr) bench_fail("calloc");
  extract_init(extractor, run, reader);
  bench_temp_root(run->payload_directory, label, 0);
  CreateDirectoryW(run->payload_directory, nullptr);
  payload_open_array(reader, payload->array, payload->length);
  LONG calls_before = fault_seam_calls(L"CreateDirectoryW");
  double start = bench_now_ms();
  extract_walk(extractor);
  *extract_ms = bench_now_ms() - start;
  *mkdir_calls = (uint32_t)(fault_seam_calls(L"CreateDirectoryW") - calls_before);
  // The walk holds the PE images it wrote (real DLLs, as in e_real_code) until the run ends;
  // the launcher closes them before it removes the directory, and so does this, untimed.
  held_files_close_all(&run->held);
  return run;
}

int bench_usage(void);

// The launcher's check of the table's names alone (table_check_names), `count` times over
// the payload of `exe`; prints the median, fastest and slowest in ms.
int bench_names(int count, const wchar_t* exe) {
  BenchPayload payload = {};
  uint64_t size = 0;
  const unsigned char* image = bench_read_file(exe, &size);
  bench_find_payload(image, size, &payload);
  PayloadReader reader = {};
  payload_open_array(&reader, payload.array, payload.length);
  double* times = (double*)calloc((size_t)count, sizeof(double));
  if (count <= 0 || times == nullptr) return bench_usage();
  uint32_t entries = 0;
  for (int i = 0; i < count; i++) {
    double start = bench_now_ms();
    entries = table_check_names(reader.table).entries;
    times[i] = bench_now_ms() - start;
  }
  qsort(times, (size_t)count, sizeof(double), [](const void* a, const void* b) {
    double x = *(const double*)a, y = *(const double*)b;
    return x < y ? -1 : x > y ? 1 : 0;
  });
  printf("names: %u entries, median %.3f ms, fastest %.3f, slowest %.3f (%d runs)\n", entries,
         times[count / 2], times[0], times[count - 1], count);
  payload_close(&reader);
  return 0;
}

int bench_phases(const wchar_t* exe, bool floor_first) {
  BenchPayload payload;
  bench_load(exe, &payload);
  double extract_ms = 0;
  uint32_t mkdir_calls = 0;
  double launcher_remove = 0, floor_remove = 0;
  bool removed = false;
  for (int pass = 0; pass < 2; pass++) {
    bool floor_now = (pass == 0) == floor_first;
    double walk_ms = 0;
    uint32_t calls = 0;
    RunContext* run = bench_launcher_extract(&payload, floor_now ? L"phases_floor" : L"phases",
                                             &walk_ms, &calls);
    if (!floor_now) {
      extract_ms = walk_ms;
      mkdir_calls = calls;
      double start = bench_now_ms();
      removed = cleanup_remove_written(run->payload_directory, run->written_table,
                                        run->written_entries);
      launcher_remove = bench_now_ms() - start;
      continue;
    }
    // Removed as the write floor removes its tree; the paths are made before the clock starts.
    const wchar_t* root = run->payload_directory;
    for (uint32_t i = 0; i < payload.count; i++) {
      bench_join(payload.entries[i].path, root, payload.entries[i].name);
    }
    wchar_t** dirs = (wchar_t**)calloc(payload.dir_count + 1, sizeof(wchar_t*));
    if (dirs == nullptr) bench_fail("calloc");
    for (uint32_t d = 0; d < payload.dir_count; d++) {
      dirs[d] = (wchar_t*)malloc(ZB_PATH_UNITS * sizeof(wchar_t));
      if (dirs[d] == nullptr) bench_fail("malloc");
      bench_join(dirs[d], root, payload.dir_names[d]);
    }
    double start = bench_now_ms();
    for (uint32_t i = 0; i < payload.count; i++) {
      if (!DeleteFileW(payload.entries[i].path)) bench_fail("DeleteFileW");
    }
    for (uint32_t d = payload.dir_count; d-- > 0;) {
      if (!RemoveDirectoryW(dirs[d])) bench_fail("RemoveDirectoryW");
    }
    if (!RemoveDirectoryW(root)) bench_fail("RemoveDirectoryW root");
    floor_remove = bench_now_ms() - start;
  }
  printf("extract=%.3f remove=%.3f floor_remove=%.3f mkdir_calls=%u removed=%d\n", extract_ms,
         launcher_remove, floor_remove, mkdir_calls, removed ? 1 : 0);
  return 0;
}

int bench_vs(int count, const wchar_t* a, const wchar_t* b) {
  wchar_t* launch_a[1] = {(wchar_t*)a};
  wchar_t* launch_b[1] = {(wchar_t*)b};
  for (int round = 0; round < count; round++) {
    DWORD code_a = 0, code_b = 0;
    double ms_a = 0, ms_b = 0;
    if (round % 2 == 0) {
      ms_a = bench_once(launch_a, 1, &code_a);
      ms_b = bench_once(launch_b, 1, &code_b);
    } else {
      ms_b = bench_once(launch_b, 1, &code_b);
      ms_a = bench_once(launch_a, 1, &code_a);
    }
    printf("vs a=%.3f b=%.3f code=%lu\n", ms_a, ms_b, code_a | code_b);
    fflush(stdout);
  }
  return 0;
}

struct BenchFrames {
  const unsigned char* stream;
  uint64_t offsets[4096];
  uint64_t sizes[4096];     // compressed
  uint64_t decoded[4096];
  uint32_t count;
  volatile LONG next;
  unsigned char* buffers[8];
};

struct BenchFrameThread {
  BenchFrames* frames;
  uint32_t index;
};

static DWORD WINAPI bench_frames_thread(void* context) {
  BenchFrameThread* thread = static_cast<BenchFrameThread*>(context);
  BenchFrames* frames = thread->frames;
  ZSTD_DCtx* dctx = ZSTD_createDCtx();
  for (;;) {
    LONG k = InterlockedIncrement(&frames->next) - 1;
    if (k >= (LONG)frames->count) break;
    size_t r = ZSTD_decompressDCtx(dctx, frames->buffers[thread->index], frames->decoded[k],
                                   frames->stream + frames->offsets[k], frames->sizes[k]);
    if (ZSTD_isError(r)) bench_fail("frame decode error");
  }
  ZSTD_freeDCtx(dctx);
  return 0;
}

int bench_frames(int count, const wchar_t* exe) {
  BenchPayload payload;
  uint64_t size = 0;
  unsigned char* image = bench_read_file(exe, &size);
  bench_find_payload(image, size, &payload);
  static BenchFrames frames;
  frames.stream = payload.array + 16 + le_read_u64(payload.array);
  uint64_t stream_size = le_read_u64(payload.array + 8);
  uint64_t largest = 0;
  for (uint64_t at = 0; at < stream_size && frames.count < 4096; frames.count++) {
    size_t compressed = ZSTD_findFrameCompressedSize(frames.stream + at, stream_size - at);
    unsigned long long decoded = ZSTD_getFrameContentSize(frames.stream + at, stream_size - at);
    if (ZSTD_isError(compressed) || decoded >= ZSTD_CONTENTSIZE_ERROR) {
      bench_fail("not a stream of frames that record their size");
    }
    frames.offsets[frames.count] = at;
    frames.sizes[frames.count] = compressed;
    frames.decoded[frames.count] = decoded;
    if (decoded > largest) largest = decoded;
    at += compressed;
  }
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  uint32_t most = system.dwNumberOfProcessors < 8 ? system.dwNumberOfProcessors : 8;
  for (uint32_t i = 0; i < most; i++) {
    frames.buffers[i] = (unsigned char*)malloc(largest);
    if (frames.buffers[i] == nullptr) bench_fail("out of memory");
    memset(frames.buffers[i], 0, largest);  // touched once, as the launcher's kept buffers
  }
  for (int round = 0; round < count; round++) {
    for (uint32_t t = 1; t <= most; t++) {
      frames.next = 0;
      BenchFrameThread threads[8];
      HANDLE handles[8];
      double start = bench_now_ms();
      for (uint32_t i = 0; i < t; i++) {
        threads[i] = {&frames, i};
        handles[i] = CreateThread(nullptr, 0, bench_frames_thread, &threads[i], 0, nullptr);
        if (handles[i] == nullptr) bench_fail("CreateThread");
      }
      WaitForMultipleObjects(t, handles, TRUE, INFINITE);
      double ms = bench_now_ms() - start;
      for (uint32_t i = 0; i < t; i++) CloseHandle(handles[i]);
      printf("frames threads=%u ms=%.3f frames=%u\n", t, ms, frames.count);
      fflush(stdout);
    }
  }
  return 0;
}

int bench_wsnow(void) {
  PROCESS_MEMORY_COUNTERS counters;
  memset(&counters, 0, sizeof counters);
  K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
  printf("peak_ws=%llu peak_pagefile=%llu\n", (unsigned long long)counters.PeakWorkingSetSize,
         (unsigned long long)counters.PeakPagefileUsage);
  return 0;
}

int bench_usage(void) {
  fprintf(stderr, "usage: bench_harness run N PROGRAM [ARGS...] | memory PROGRAM [ARGS...] |"
                  " compare N EXE HOST | cached N PLAIN EXE HOST | phases EXE [floor-first] |"
                  " vs N EXE_A EXE_B | frames N EXE | names N EXE | wsnow\n");
  return 2;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE /* instance */, HINSTANCE /* previous */, PWSTR /* command_line */,
                    int /* show */) {
  int argc = *__p___argc();
  wchar_t** argv = *__p___wargv();
  if (argc < 2) return bench_usage();
  const wchar_t* mode = argv[1];
  if (wcscmp(mode, L"run") == 0 && argc >= 4) return bench_run(_wtoi(argv[2]), argv + 3, argc - 3);
  if (wcscmp(mode, L"memory") == 0 && argc >= 3) return bench_memory(argv + 2, argc - 2);
  if (wcscmp(mode, L"compare") == 0 && argc == 5) return bench_compare(_wtoi(argv[2]), argv[3], argv[4]);
  if (wcscmp(mode, L"phases") == 0 && argc == 3) return bench_phases(argv[2], false);
  if (wcscmp(mode, L"phases") == 0 && argc == 4 && wcscmp(argv[3], L"floor-first") == 0) {
    return bench_phases(argv[2], true);
  }
  if (wcscmp(mode, L"tiny") == 0 && argc == 6) {
    return bench_tiny(_wtoi(argv[2]), argv[3], argv[4], argv[5]);
  }
  if (wcscmp(mode, L"cached") == 0 && argc == 6) {
    return bench_cached(_wtoi(argv[2]), argv[3], argv[4], argv[5]);
  }
  if (wcscmp(mode, L"wsnow") == 0) return bench_wsnow();
  if (wcscmp(mode, L"vs") == 0 && argc == 5) return bench_vs(_wtoi(argv[2]), argv[3], argv[4]);
  if (wcscmp(mode, L"frames") == 0 && argc == 4) return bench_frames(_wtoi(argv[2]), argv[3]);
  if (wcscmp(mode, L"names") == 0 && argc == 4) return bench_names(_wtoi(argv[2]), argv[3]);
  return bench_usage();
}
