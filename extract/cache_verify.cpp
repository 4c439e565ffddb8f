#include "extract/cache_verify.h"

#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

#include "base/fatal.h"
#include "base/file_digest.h"
#include "base/handle.h"
#include "base/limits.h"
#include "base/progress_line.h"
#include "base/thread_pool.h"
#include "base/wide_text.h"
#include "cleanup/held_files.h"
#include "extract/table_names.h"
#include "format/little_endian.h"
#include "format/name_path.h"
#include "format/name_rules.h"
#include "format/payload_format.h"
#include "format/payload_table.h"
#include "payload/payload_image.h"
#include "payload/payload_reader.h"

// Names of extra files (not in the payload table) that the system reads as instructions to
// load code: an application's manifest and a DLL redirection ("<program>.local", a file or a
// folder). Decision: besides them, an extra file is looked at by its first bytes only
// (held_files_is_image): a name says nothing about what a loader makes of the file (".pyd",
// ".node", ".ax" or a name ending in a dot all load), and any other extra file is the
// application's own business (logs, settings beside itself).
static const wchar_t* const VERIFY_DROPPED_SUFFIXES[] = {L".manifest", L".local"};

// One file to check: its name in the table, its size and the digest recorded for it.
struct VerifyJob {
  const unsigned char* name;
  uint32_t name_units;
  uint64_t size;
  uint64_t digest;
};

// The work the threads share: the copy, the jobs, the next job to take, whether a check has
// failed (the others then stop at their next job), and where the images go (null: closed).
// With `images_only` a file that is not an image is checked for its size only.
struct VerifyWork {
  const wchar_t* directory;
  VerifyJob* jobs;
  uint32_t count;
  volatile LONG next;
  volatile LONG failed;
  HeldFiles* held;
  bool images_only;
  // The table's names in table_name_compare's order.
  const TableName* names;
};

// The index of the first sorted name not before `key`.
static uint32_t verify_lower_bound(const VerifyWork* work, const TableName* key) {
  uint32_t low = 0;
  uint32_t high = work->count;
  while (low < high) {
    uint32_t middle = low + (high - low) / 2;
    if (table_name_compare(&work->names[middle], key) < 0) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return low;
}

// True when `path` (`units` units below the copy) is a table entry's name or, with `folder`,
// the folder of one: some name begins with it and "\". In table_name_compare's order the names
// below a folder come right after it, and it is no entry's name itself when any is below it.
static bool verify_in_table(const VerifyWork* work, const wchar_t* path, uint32_t units,
                            bool folder) {
  TableName key = {path, (int)units};
  uint32_t at = verify_lower_bound(work, &key);
  if (at >= work->count) return false;
  const TableName* name = &work->names[at];
  if (!folder) return table_name_compare(name, &key) == 0;
  return name->count > key.count && name->units[key.count] == L'\\' &&
         CompareStringOrdinal(name->units, key.count, key.units, key.count,
                              /* bIgnoreCase */ TRUE) == CSTR_EQUAL;
}

// True when `name` (`units` units) ends in `suffix`, case ignored.
static bool verify_ends_with(const wchar_t* name, uint32_t units, const wchar_t* suffix) {
  uint32_t length = (uint32_t)wcslen(suffix);
  return units >= length && _wcsicmp(name + units - length, suffix) == 0;
}

// True when the extra file `path` may run code: named as one the system reads (or ending in a
// dot or a space, a name the plain path cannot reach to look at), or an image by its first
// bytes, or a file that cannot be opened and read to tell.
static bool verify_extra_dropped(const wchar_t* path, const wchar_t* name) {
  uint32_t units = (uint32_t)wcslen(name);
  if (units == 0 || name[units - 1] == L'.' || name[units - 1] == L' ') return true;
  for (const wchar_t* suffix : VERIFY_DROPPED_SUFFIXES) {
    if (verify_ends_with(name, units, suffix)) return true;
  }
  // Shared in every way: the application may have its own files open.
  HandleOwner file(CreateFileW(path, GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               /* lpSecurityAttributes */ nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT, /* hTemplateFile */ nullptr));
  unsigned char first[2];
  DWORD got = 0;
  if (!file || !ReadFile(file.get(), first, sizeof first, &got, /* lpOverlapped */ nullptr)) {
    return true;
  }
  return held_files_is_image(first, got);
}

// True when the open file is the job's: a plain file with one name, of the job's size and
// content (with images_only, of an image only). Reads it in `buffer` (ZB_VERIFY_READ_BYTES)
// until the end; *image tells whether its first bytes are an image's. Decision: the standard
// and basic information rather than GetFileInformationByHandle, which also asks for the
// volume's serial number: under Wine a round trip to another process for every file.
static bool verify_file_content(HANDLE file, const VerifyJob* job, unsigned char* buffer,
                                bool images_only, bool* image) {
  *image = false;
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
    if (left == size) {
      *image = held_files_is_image(buffer, got);
      if (images_only && !*image) {
        progress_line_add(size);
        return true;
      }
    }
    file_digest_update(&digest, buffer, got);
    progress_line_add(got);
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
    uint32_t length = base;
    if (!name_append_path(path, ZB_PATH_UNITS, &length, job->name, job->name_units)) {
      InterlockedExchange(&work->failed, 1);
      return;
    }
    // Opened as it is, a link itself rather than what it points to; no one may write,
    // rename or delete it while it is read, nor, for an image held, until the application
    // has ended. One that another process has open for writing fails the check.
    HandleOwner file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ,
                                 /* lpSecurityAttributes */ nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN,
                                 /* hTemplateFile */ nullptr));
    bool image = false;
    if (!file || !verify_file_content(file.get(), job, buffer, work->images_only, &image) ||
        (image && work->held != nullptr && !held_files_add(work->held, file.release()))) {
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

// Lists the tree below `path` (its text ends at `length`; the buffer holds ZB_PATH_UNITS, the
// copy's own path takes `root` units): false at the first link or junction, path that does
// not fit, or extra file that may run code (verify_extra_dropped; a folder named as a
// redirection that the table does not hold). The table's own files are the jobs' to check.
static bool verify_list_tree(const VerifyWork* work, wchar_t* path, uint32_t length,
                             uint32_t root) {
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
    uint32_t below = length;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT ||
        !wide_append_units(path, ZB_PATH_UNITS, &below, L'\\', 1) ||
        !wide_append_text(path, ZB_PATH_UNITS, &below, name) || below + 1 >= ZB_PATH_UNITS) {
      whole = false;
    } else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      whole = (!verify_ends_with(name, (uint32_t)wcslen(name), L".local") ||
               verify_in_table(work, path + root + 1, below - root - 1, /* folder */ true)) &&
              verify_list_tree(work, path, below, root);
    } else if (!verify_in_table(work, path + root + 1, below - root - 1, /* folder */ false)) {
      whole = !verify_extra_dropped(path, name);
    }
    path[length] = L'\0';
  } while (whole && FindNextFileW(find, &found));
  FindClose(find);
  return whole;
}

// Hashes the jobs on this thread and up to ZB_VERIFY_THREADS_MAX - 1 more, and lists the tree
// on this one meanwhile. True when every check passed and the tree holds no extra file that
// may run code.
static bool verify_run(VerifyWork* work) {
  uint32_t threads = thread_pool_size(ZB_VERIFY_THREADS_MAX);
  if (threads > work->count) threads = work->count;
  ThreadPool helpers = {};
  for (uint32_t i = 1; i < threads; i++) {
    // Fewer threads only make it slower.
    thread_pool_add(&helpers, verify_thread_main, work, ZB_VERIFY_STACK_BYTES);
  }
  wchar_t path[ZB_PATH_UNITS];
  uint32_t length = 0;
  path[0] = L'\0';
  if (!wide_append_text(path, ZB_PATH_UNITS, &length, work->directory) ||
      !verify_list_tree(work, path, length, length)) {
    InterlockedExchange(&work->failed, 1);
  }
  verify_thread_main(work);
  // The progress line goes on while the helpers finish.
  while (!thread_pool_wait(&helpers, ZB_PROGRESS_INTERVAL_MS)) progress_line_tick();
  thread_pool_join(&helpers);
  return !work->failed;
}

bool cache_verify_copy(const PayloadImage* image, const TableName* names,
                       const wchar_t* directory, bool check, HeldFiles* held, bool images_only) {
  PayloadTable table = image->table;
  const unsigned char* digests = image->tail.digests;
  uint64_t recorded = image->tail.digest_count;
  VerifyJob* jobs = nullptr;
  if (check && recorded != 0) {
    jobs = static_cast<VerifyJob*>(calloc((size_t)recorded, sizeof(VerifyJob)));
    if (jobs == nullptr) fatal_exit(FATAL_MSG_MEMORY);
  }
  uint32_t count = 0;
  if (!table_empty(table)) {
    TableCursor cursor = table_cursor(table);
    for (;;) {
      PayloadEntry entry;
      payload_next_entry(&cursor, &entry);
      if (!name_stays_inside(entry.name, entry.name_units)) fatal_exit(FATAL_MSG_HEADER);
      if (entry.flags & ZB_ENTRY_FLAG_SECOND_STRING) fatal_exit(FATAL_MSG_HEADER);
      if (count >= recorded) fatal_exit(FATAL_MSG_HEADER);
      if (jobs != nullptr) {
        VerifyJob* job = &jobs[count];
        job->name = entry.name;
        job->name_units = entry.name_units;
        job->size = entry.size;
        job->digest = le_read_u64(digests + ZB_FILE_DIGEST_BYTES * (uint64_t)count);
      }
      count++;
      if (entry.flags & ZB_ENTRY_FLAG_LAST) break;
    }
  }
  // Every name is checked, and the count, whether the copy is looked at or not: a bad table
  // fails the same way warm or cold.
  if (count != recorded) fatal_exit(FATAL_MSG_HEADER);
  if (!check) return false;
  if (held != nullptr) held_files_reserve(held, count);
  uint64_t total = 0;
  for (uint32_t i = 0; i < count; i++) total += jobs[i].size;
  progress_line_begin(L"Checking", total);
  VerifyWork work = {directory, jobs, count, /* next */ 0, /* failed */ 0, held, images_only,
                     names};
  bool whole = verify_run(&work);
  // What a failed check held is of no use: the run extracts afresh, and moves the copy aside.
  if (!whole && held != nullptr) held_files_close_all(held);
  free(jobs);
  return whole;
}
