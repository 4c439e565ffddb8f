#include "bootstrap/cache_verify.h"

#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

#include "base/fatal.h"
#include "base/file_digest.h"
#include "base/handle.h"
#include "base/limits.h"
#include "base/little_endian.h"
#include "base/payload_format.h"
#include "base/wide_text.h"
#include "bootstrap/extract.h"
#include "bootstrap/payload_reader.h"

// Extensions the loader or the shell runs code from. Decision: a file of another name is the
// application's own business (it may write logs or settings beside itself); one of these that
// the payload does not hold is a planted program, since the loader searches a DLL's own
// directory before the system's.
static const wchar_t* const VERIFY_PROGRAM_EXTENSIONS[] = {L"dll", L"exe", L"com", L"cpl", L"ocx",
                                                           L"scr", L"sys", L"drv", L"efi"};
// The longest of them, in units.
static const uint32_t VERIFY_EXTENSION_UNITS = 3;

// One file to check: its name in the table, its size and the digest recorded for it.
struct VerifyJob {
  const unsigned char* name;
  uint32_t name_units;
  uint64_t size;
  uint64_t digest;
};

// The work the hashing threads share: the copy, the jobs, the next job to take and whether a
// check has failed (the others then stop at their next job).
struct VerifyWork {
  const wchar_t* directory;
  VerifyJob* jobs;
  uint32_t count;
  volatile LONG next;
  volatile LONG failed;
};

bool cache_verify_is_program(const wchar_t* name, uint32_t units) {
  uint32_t dot = units;
  while (dot > 0 && name[dot - 1] != L'.' && name[dot - 1] != L'\\') dot--;
  if (dot == 0 || name[dot - 1] != L'.' || units - dot > VERIFY_EXTENSION_UNITS) return false;
  wchar_t extension[VERIFY_EXTENSION_UNITS + 1];
  wmemcpy(extension, name + dot, units - dot);
  extension[units - dot] = L'\0';
  for (const wchar_t* known : VERIFY_PROGRAM_EXTENSIONS) {
    if (_wcsicmp(extension, known) == 0) return true;
  }
  return false;
}

// True when the entry's name (`units` little-endian units in the table) is a program's: its
// last units, as many as a dot and the longest extension take, decide.
static bool verify_entry_is_program(const unsigned char* name, uint32_t units) {
  wchar_t tail[VERIFY_EXTENSION_UNITS + 1];
  uint32_t take = units < VERIFY_EXTENSION_UNITS + 1 ? units : VERIFY_EXTENSION_UNITS + 1;
  for (uint32_t i = 0; i < take; i++) {
    tail[i] = (wchar_t)le_read_u16(name + 2 * (uint64_t)(units - take + i));
  }
  return cache_verify_is_program(tail, take);
}

// True when the open file is the job's: a plain file with one name, of the job's size and
// content. Reads it in `buffer` (ZB_VERIFY_READ_BYTES) until the end. Decision: the standard
// and basic information rather than GetFileInformationByHandle, which also asks for the
// volume's serial number: under Wine a round trip to another process for every file.
static bool verify_file_content(HANDLE file, const VerifyJob* job, unsigned char* buffer) {
  FILE_STANDARD_INFO standard;
  FILE_BASIC_INFO basic;
  if (!GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard) ||
      !GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic)) {
    return false;
  }
  uint64_t size = (uint64_t)standard.EndOfFile.QuadPart;
  if (standard.Directory || standard.NumberOfLinks != 1 || size != job->size ||
      (basic.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
    return false;
  }
  FileDigest digest;
  file_digest_start(&digest);
  for (uint64_t left = size; left != 0;) {
    DWORD want = left < ZB_VERIFY_READ_BYTES ? (DWORD)left : ZB_VERIFY_READ_BYTES;
    DWORD got = 0;
    if (!ReadFile(file, buffer, want, &got, /* lpOverlapped */ nullptr) || got != want) {
      return false;
    }
    file_digest_update(&digest, buffer, got);
    left -= got;
  }
  return file_digest_finish(&digest) == job->digest;
}

// Takes jobs until none is left or one has failed. Never fatal: a path that does not fit
// fails the check.
static void verify_take_jobs(VerifyWork* work, unsigned char* buffer) {
  wchar_t path[ZB_PATH_UNITS];
  uint32_t base = 0;
  path[0] = L'\0';
  if (!wide_append_text(path, ZB_PATH_UNITS, &base, work->directory) ||
      !wide_append_units(path, ZB_PATH_UNITS, &base, L'\\', 1)) {
    InterlockedExchange(&work->failed, 1);
    return;
  }
  while (!work->failed) {
    LONG index = InterlockedIncrement(&work->next) - 1;
    if (index >= (LONG)work->count) return;
    const VerifyJob* job = &work->jobs[index];
    if (base + job->name_units + 1 > ZB_PATH_UNITS) {
      InterlockedExchange(&work->failed, 1);
      return;
    }
    for (uint32_t i = 0; i < job->name_units; i++) {
      path[base + i] = (wchar_t)le_read_u16(job->name + 2 * (uint64_t)i);
    }
    path[base + job->name_units] = L'\0';
    // Opened as it is, a link itself rather than what it points to; no one may write while
    // it is read.
    HandleOwner file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ,
                                 /* lpSecurityAttributes */ nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN,
                                 /* hTemplateFile */ nullptr));
    if (!file || !verify_file_content(file.get(), job, buffer)) {
      InterlockedExchange(&work->failed, 1);
      return;
    }
  }
}

static DWORD WINAPI verify_thread_main(LPVOID parameter) {
  VerifyWork* work = static_cast<VerifyWork*>(parameter);
  unsigned char* buffer = static_cast<unsigned char*>(malloc(ZB_VERIFY_READ_BYTES));
  if (buffer == nullptr) {
    InterlockedExchange(&work->failed, 1);
    return 0;
  }
  verify_take_jobs(work, buffer);
  free(buffer);
  return 0;
}

// Lists the tree below `path` (its text ends at `length`; the buffer holds ZB_PATH_UNITS):
// false at the first link or junction, or a path that does not fit; counts the programs found
// into *programs.
static bool verify_list_tree(wchar_t* path, uint32_t length, uint32_t* programs) {
  uint32_t pattern = length;
  if (!wide_append_text(path, ZB_PATH_UNITS, &pattern, L"\\*")) return false;
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileExW(path, FindExInfoBasic, &found, FindExSearchNameMatch,
                                 /* lpSearchFilter */ nullptr, FIND_FIRST_EX_LARGE_FETCH);
  path[length] = L'\0';
  if (find == INVALID_HANDLE_VALUE) return false;
  bool whole = true;
  do {
    const wchar_t* name = found.cFileName;
    if (wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0) continue;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      whole = false;
    } else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      uint32_t below = length;
      whole = wide_append_units(path, ZB_PATH_UNITS, &below, L'\\', 1) &&
              wide_append_text(path, ZB_PATH_UNITS, &below, name) &&
              verify_list_tree(path, below, programs);
      path[length] = L'\0';
    } else if (cache_verify_is_program(name, (uint32_t)wcslen(name))) {
      (*programs)++;
    }
  } while (whole && FindNextFileW(find, &found));
  FindClose(find);
  return whole;
}

// Hashes the jobs on this thread and up to ZB_VERIFY_THREADS_MAX - 1 more, and lists the tree
// on this one meanwhile. True when every check passed and the tree holds `programs` programs.
static bool verify_run(VerifyWork* work, uint32_t programs) {
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  uint32_t threads = system.dwNumberOfProcessors;
  if (threads > ZB_VERIFY_THREADS_MAX) threads = ZB_VERIFY_THREADS_MAX;
  if (threads > work->count) threads = work->count;
  HANDLE helpers[ZB_VERIFY_THREADS_MAX];
  uint32_t started = 0;
  for (uint32_t i = 1; i < threads; i++) {
    HANDLE thread = CreateThread(/* lpThreadAttributes */ nullptr, ZB_VERIFY_STACK_BYTES,
                                 verify_thread_main, work, STACK_SIZE_PARAM_IS_A_RESERVATION,
                                 /* lpThreadId */ nullptr);
    // Fewer threads only make it slower.
    if (thread != nullptr) helpers[started++] = thread;
  }
  wchar_t path[ZB_PATH_UNITS];
  uint32_t length = 0;
  path[0] = L'\0';
  uint32_t found = 0;
  if (!wide_append_text(path, ZB_PATH_UNITS, &length, work->directory) ||
      !verify_list_tree(path, length, &found) || found != programs) {
    InterlockedExchange(&work->failed, 1);
  }
  verify_thread_main(work);
  if (started > 0) {
    WaitForMultipleObjects(started, helpers, /* bWaitAll */ TRUE, INFINITE);
  }
  for (uint32_t i = 0; i < started; i++) CloseHandle(helpers[i]);
  return !work->failed;
}

bool cache_verify_copy(PayloadReader* reader, const wchar_t* directory, bool check) {
  const unsigned char* digests = nullptr;
  uint64_t recorded = payload_linked_file_digests(&digests);
  VerifyJob* jobs = nullptr;
  if (check && recorded != 0) {
    jobs = static_cast<VerifyJob*>(calloc((size_t)recorded, sizeof(VerifyJob)));
    if (jobs == nullptr) fatal_exit(FATAL_MSG_MEMORY);
  }
  uint32_t count = 0;
  uint32_t programs = 0;
  if (!payload_table_empty(reader)) {
    for (;;) {
      PayloadEntry entry;
      payload_next_entry(reader, &entry);
      if (!extract_name_stays_inside(entry.name, entry.name_units)) fatal_exit(FATAL_MSG_HEADER);
      if (entry.flags & ZB_ENTRY_FLAG_SECOND_STRING) fatal_exit(FATAL_MSG_HEADER);
      if (count >= recorded) fatal_exit(FATAL_MSG_HEADER);
      if (jobs != nullptr) {
        VerifyJob* job = &jobs[count];
        job->name = entry.name;
        job->name_units = entry.name_units;
        job->size = entry.size;
        job->digest = le_read_u64(digests + ZB_FILE_DIGEST_BYTES * (uint64_t)count);
        if (verify_entry_is_program(entry.name, entry.name_units)) programs++;
      }
      count++;
      if (entry.flags & ZB_ENTRY_FLAG_LAST) break;
    }
  }
  // Every name is checked, and the count, whether the copy is looked at or not: a bad table
  // fails the same way warm or cold.
  if (count != recorded) fatal_exit(FATAL_MSG_HEADER);
  payload_restart_table(reader);
  if (!check) return false;
  VerifyWork work = {directory, jobs, count, /* next */ 0, /* failed */ 0};
  bool whole = verify_run(&work, programs);
  free(jobs);
  return whole;
}
