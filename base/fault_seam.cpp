// The wrappers of base/fault_seam.h (test builds only).
#include "base/fault_seam.h"

#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "base/fault_seam_query.h"
#include "base/handle.h"

// From here on the names mean the system's functions again.
#undef CreateFileW
#undef CreateDirectoryW
#undef WriteFile
#undef CreateProcessW
#undef LoadLibraryExW
#undef GetProcAddress
#undef GetTempPathW
#undef GetFullPathNameW
#undef GetModuleFileNameW
#undef SetConsoleCtrlHandler
#undef DeleteFileW
#undef RemoveDirectoryW

enum FaultOperation {
  FAULT_CREATE_FILE,
  FAULT_CREATE_DIRECTORY,
  FAULT_WRITE_FILE,
  FAULT_CREATE_PROCESS,
  FAULT_LOAD_LIBRARY,
  FAULT_GET_PROC_ADDRESS,
  FAULT_GET_TEMP_PATH,
  FAULT_GET_FULL_PATH_NAME,
  FAULT_GET_MODULE_FILE_NAME,
  FAULT_SET_CONSOLE_CTRL_HANDLER,
  FAULT_DELETE_FILE,
  FAULT_REMOVE_DIRECTORY,
  FAULT_OPERATION_COUNT
};

static const wchar_t* const fault_names[FAULT_OPERATION_COUNT] = {
    L"CreateFileW",        L"CreateDirectoryW", L"WriteFile",         L"CreateProcessW",
    L"LoadLibraryExW",     L"GetProcAddress",   L"GetTempPathW",      L"GetFullPathNameW",
    L"GetModuleFileNameW", L"SetConsoleCtrlHandler", L"DeleteFileW",  L"RemoveDirectoryW"};

// Where the wrapper was called from: in the launcher code, one address per call site.
#define FAULT_SITE __builtin_return_address(0)

static const wchar_t FAULT_VARIABLE[] = L"ZOBRIN_TEST_FAULT";
static const wchar_t FAULT_TRACE_VARIABLE[] = L"ZOBRIN_TEST_FAULT_TRACE";
static const wchar_t FAULT_CHILD_PREFIX[] = L"child:";
static const uint32_t FAULT_TEXT_UNITS = 128;
static const uint32_t FAULT_TRACE_PATH_UNITS = 4096;
static const uint32_t FAULT_TRACE_LINE_BYTES = 16384;

// What a picked call does instead of failing with `error`.
enum FaultKind { FAULT_FAIL, FAULT_SHORT_WRITE, FAULT_TAKEN, FAULT_DELAY };

struct FaultInstruction {
  int operation;  // FAULT_OPERATION_COUNT: none
  LONG first;
  LONG last;  // LONG_MAX: every call from `first` on
  FaultKind kind;
  DWORD error;  // FAULT_DELAY: the milliseconds
};

// Read on the first routed call, which the main thread makes before any other thread exists.
struct FaultState {
  bool instruction_read;
  FaultInstruction instruction;
  volatile LONG counts[FAULT_OPERATION_COUNT];
  wchar_t trace_path[FAULT_TRACE_PATH_UNITS];
  // fault_seam_watch's argument ("" for none) and the calls made with it since.
  wchar_t watched[FAULT_TRACE_PATH_UNITS];
  volatile LONG watched_counts[FAULT_OPERATION_COUNT];
};
static FaultState fault = {false, {FAULT_OPERATION_COUNT, 0, 0, FAULT_FAIL, 0}, {}, {}, {}, {}};

// A mistyped instruction must not pass as a run without a fault.
static void fault_refuse(const wchar_t* text) {
  fprintf(stderr, "fault seam: cannot use ZOBRIN_TEST_FAULT='%ls'\n", text);
  exit(99);
}

// Parses "OPERATION:N[+|-M]:ERROR" (`text` is cut in place). False when it does not parse.
static bool fault_parse(wchar_t* text, FaultInstruction* out) {
  wchar_t* colon = wcschr(text, L':');
  if (colon == nullptr) return false;
  *colon = L'\0';
  out->operation = FAULT_OPERATION_COUNT;
  for (int i = 0; i < FAULT_OPERATION_COUNT; i++) {
    if (wcscmp(text, fault_names[i]) == 0) out->operation = i;
  }
  if (out->operation == FAULT_OPERATION_COUNT) return false;
  wchar_t* end = nullptr;
  unsigned long call = wcstoul(colon + 1, &end, 10);
  if (end == colon + 1 || call == 0 || call > 0x7FFFFFFF) return false;
  out->first = out->last = (LONG)call;
  if (*end == L'+') {
    out->last = LONG_MAX;
    end++;
  } else if (*end == L'-') {
    wchar_t* start = end + 1;
    unsigned long last = wcstoul(start, &end, 10);
    if (end == start || last < call || last > 0x7FFFFFFF) return false;
    out->last = (LONG)last;
  }
  if (*end != L':') return false;
  const wchar_t* error = end + 1;
  out->kind = FAULT_FAIL;
  out->error = 0;
  if (wcscmp(error, L"short") == 0) {
    out->kind = FAULT_SHORT_WRITE;
    return out->operation == FAULT_WRITE_FILE;
  }
  if (wcscmp(error, L"taken") == 0) {
    out->kind = FAULT_TAKEN;
    return out->operation == FAULT_CREATE_DIRECTORY;
  }
  if (wcsncmp(error, L"delay:", 6) == 0) {
    out->kind = FAULT_DELAY;
    error += 6;
  }
  unsigned long code = wcstoul(error, &end, 10);
  if (end == error || *end != L'\0') return false;
  out->error = (DWORD)code;
  return true;
}

static void fault_read_instruction(void) {
  if (fault.instruction_read) return;
  fault.instruction_read = true;
  DWORD length = GetEnvironmentVariableW(FAULT_TRACE_VARIABLE, fault.trace_path,
                                         FAULT_TRACE_PATH_UNITS);
  if (length == 0 || length >= FAULT_TRACE_PATH_UNITS) fault.trace_path[0] = L'\0';
  wchar_t text[FAULT_TEXT_UNITS];
  length = GetEnvironmentVariableW(FAULT_VARIABLE, text, FAULT_TEXT_UNITS);
  if (length == 0) return;
  if (length >= FAULT_TEXT_UNITS) fault_refuse(L"(too long)");
  bool for_child = wcsncmp(text, FAULT_CHILD_PREFIX, wcslen(FAULT_CHILD_PREFIX)) == 0;
  wchar_t* own = for_child ? text + wcslen(FAULT_CHILD_PREFIX) : text;
  // The started processes inherit the environment as it is when they start.
  SetEnvironmentVariableW(FAULT_VARIABLE, for_child ? own : nullptr);
  wchar_t copy[FAULT_TEXT_UNITS];
  wcscpy(copy, own);
  FaultInstruction parsed;
  if (!fault_parse(copy, &parsed)) fault_refuse(text);
  if (!for_child) fault.instruction = parsed;
}

// Appends "PID OPERATION N SITE ARGUMENT" to the trace file.
static void fault_trace(int operation, LONG call, void* site, const wchar_t* wide_argument,
                        const char* narrow_argument) {
  static char line[FAULT_TRACE_LINE_BYTES];
  static char argument[FAULT_TRACE_LINE_BYTES / 2];
  // The threads of a run (the child's creator, the closer, the checkers) trace at once: one
  // line at a time, whole.
  static SRWLOCK lock = SRWLOCK_INIT;
  AcquireSRWLockExclusive(&lock);
  if (wide_argument != nullptr) {
    int n = WideCharToMultiByte(CP_UTF8, 0, wide_argument, -1, argument, sizeof argument,
                                nullptr, nullptr);
    if (n <= 0) strcpy(argument, "?");
  } else if (narrow_argument != nullptr && ((uintptr_t)narrow_argument >> 16) != 0) {
    snprintf(argument, sizeof argument, "%s", narrow_argument);
  } else if (narrow_argument != nullptr) {
    snprintf(argument, sizeof argument, "#%u", (unsigned)(uintptr_t)narrow_argument);
  } else {
    strcpy(argument, "-");
  }
  // The call site as an offset into the executable, the same in every process of one build.
  unsigned long long offset =
      (unsigned long long)((uintptr_t)site - (uintptr_t)GetModuleHandleW(nullptr));
  int length = snprintf(line, sizeof line, "%lu %ls %ld %llx %s\n", GetCurrentProcessId(),
                        fault_names[operation], call, offset, argument);
  if (length < 0) length = 0;
  if ((size_t)length >= sizeof line) length = (int)sizeof line - 1;
  if (length > 0) {
    HandleOwner file(CreateFileW(fault.trace_path, FILE_APPEND_DATA,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 /* lpSecurityAttributes */ nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, /* hTemplateFile */ nullptr));
    DWORD written = 0;
    if (file) WriteFile(file.get(), line, (DWORD)length, &written, /* lpOverlapped */ nullptr);
  }
  ReleaseSRWLockExclusive(&lock);
}

// Counts the call; true when it is one to fail (GetLastError then holds the chosen code). A
// delayed call waits here and is not failed.
static bool fault_pick(int operation, void* site, const wchar_t* wide_argument,
                       const char* narrow_argument = nullptr) {
  DWORD error = GetLastError();
  fault_read_instruction();
  LONG call = InterlockedIncrement(&fault.counts[operation]);
  if (wide_argument != nullptr && fault.watched[0] != L'\0' &&
      wcscmp(wide_argument, fault.watched) == 0) {
    InterlockedIncrement(&fault.watched_counts[operation]);
  }
  if (fault.trace_path[0] != L'\0') {
    fault_trace(operation, call, site, wide_argument, narrow_argument);
  }
  const FaultInstruction& f = fault.instruction;
  bool picked = operation == f.operation && call >= f.first && call <= f.last;
  if (picked && f.kind == FAULT_DELAY) {
    Sleep(f.error);
    picked = false;
  }
  SetLastError(picked ? f.error : error);
  return picked;
}

static int fault_operation(const wchar_t* name) {
  for (int i = 0; i < FAULT_OPERATION_COUNT; i++) {
    if (wcscmp(name, fault_names[i]) == 0) return i;
  }
  return -1;
}

LONG fault_seam_calls(const wchar_t* operation) {
  int i = fault_operation(operation);
  return i < 0 ? -1 : fault.counts[i];
}

void fault_seam_watch(const wchar_t* argument) {
  wcsncpy(fault.watched, argument, FAULT_TRACE_PATH_UNITS - 1);
  for (volatile LONG& count : fault.watched_counts) InterlockedExchange(&count, 0);
}

LONG fault_seam_watched_calls(const wchar_t* operation) {
  int i = fault_operation(operation);
  return i < 0 ? -1 : fault.watched_counts[i];
}

HANDLE WINAPI fault_CreateFileW(LPCWSTR name, DWORD access, DWORD share,
                                LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                HANDLE template_file) {
  if (fault_pick(FAULT_CREATE_FILE, FAULT_SITE, name)) return INVALID_HANDLE_VALUE;
  return CreateFileW(name, access, share, security, disposition, flags, template_file);
}

BOOL WINAPI fault_CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security) {
  if (fault_pick(FAULT_CREATE_DIRECTORY, FAULT_SITE, path)) {
    if (fault.instruction.kind != FAULT_TAKEN) return FALSE;
    CreateDirectoryW(path, /* lpSecurityAttributes */ nullptr);
  }
  return CreateDirectoryW(path, security);
}

BOOL WINAPI fault_WriteFile(HANDLE file, LPCVOID buffer, DWORD bytes, LPDWORD written,
                            LPOVERLAPPED overlapped) {
  if (fault_pick(FAULT_WRITE_FILE, FAULT_SITE, nullptr)) {
    if (fault.instruction.kind == FAULT_SHORT_WRITE) {
      return WriteFile(file, buffer, bytes / 2, written, overlapped);
    }
    if (written != nullptr) *written = 0;
    return FALSE;
  }
  return WriteFile(file, buffer, bytes, written, overlapped);
}

BOOL WINAPI fault_CreateProcessW(LPCWSTR application, LPWSTR command_line,
                                 LPSECURITY_ATTRIBUTES process_security,
                                 LPSECURITY_ATTRIBUTES thread_security, BOOL inherit_handles,
                                 DWORD creation_flags, LPVOID environment,
                                 LPCWSTR current_directory, LPSTARTUPINFOW startup,
                                 LPPROCESS_INFORMATION process) {
  if (fault_pick(FAULT_CREATE_PROCESS, FAULT_SITE, application)) return FALSE;
  return CreateProcessW(application, command_line, process_security, thread_security,
                        inherit_handles, creation_flags, environment, current_directory, startup,
                        process);
}

HMODULE WINAPI fault_LoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags) {
  if (fault_pick(FAULT_LOAD_LIBRARY, FAULT_SITE, name)) return nullptr;
  return LoadLibraryExW(name, file, flags);
}

FARPROC WINAPI fault_GetProcAddress(HMODULE module, LPCSTR name) {
  if (fault_pick(FAULT_GET_PROC_ADDRESS, FAULT_SITE, nullptr, name)) return nullptr;
  return GetProcAddress(module, name);
}

DWORD WINAPI fault_GetTempPathW(DWORD capacity, LPWSTR buffer) {
  if (fault_pick(FAULT_GET_TEMP_PATH, FAULT_SITE, nullptr)) return 0;
  return GetTempPathW(capacity, buffer);
}

DWORD WINAPI fault_GetFullPathNameW(LPCWSTR name, DWORD capacity, LPWSTR buffer,
                                    LPWSTR* file_part) {
  if (fault_pick(FAULT_GET_FULL_PATH_NAME, FAULT_SITE, name)) return 0;
  return GetFullPathNameW(name, capacity, buffer, file_part);
}

DWORD WINAPI fault_GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD capacity) {
  if (fault_pick(FAULT_GET_MODULE_FILE_NAME, FAULT_SITE, nullptr)) return 0;
  return GetModuleFileNameW(module, buffer, capacity);
}

BOOL WINAPI fault_SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
  if (fault_pick(FAULT_SET_CONSOLE_CTRL_HANDLER, FAULT_SITE, nullptr)) return FALSE;
  return SetConsoleCtrlHandler(handler, add);
}

BOOL WINAPI fault_DeleteFileW(LPCWSTR path) {
  if (fault_pick(FAULT_DELETE_FILE, FAULT_SITE, path)) return FALSE;
  return DeleteFileW(path);
}

BOOL WINAPI fault_RemoveDirectoryW(LPCWSTR path) {
  if (fault_pick(FAULT_REMOVE_DIRECTORY, FAULT_SITE, path)) return FALSE;
  return RemoveDirectoryW(path);
}
