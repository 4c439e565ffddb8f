#include "run/launch.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

#include "base/fatal.h"
#include "base/handle.h"
#include "base/limits.h"
#include "base/wide_text.h"
#include "cleanup/child_slot.h"
#include "cleanup/gate.h"
#include "extract/place.h"
#include "paths/env.h"
#include "paths/path_utils.h"
#include "run/command_line.h"

typedef int (*launch_entry_point)(int argc, wchar_t** argv, const wchar_t* dll_path);

// CreateProcessW's error for a program whose manifest asks for more rights than this process
// has (mingw-w64's headers lack the name).
static const unsigned long LAUNCH_ERROR_ELEVATION_REQUIRED = 740;
// Starts tried when CreateProcessW fails with ERROR_INTERNAL_ERROR, and the pause between them.
static const int LAUNCH_START_ATTEMPTS = 3;
static const DWORD LAUNCH_START_PAUSE_MS = 20;

// How deep launch_missing_module follows the application's own DLLs.
static const uint32_t LAUNCH_MISSING_DEPTH = 8;

// Copies the folder of `path` (all before its last backslash) into `folder` (capacity
// ZB_PATH_UNITS). Fatal (abort): a path that does not fit.
static void launch_folder_of(const wchar_t* path, wchar_t* folder) {
  uint32_t length = 0;
  folder[0] = L'\0';
  if (!wide_append_text(folder, ZB_PATH_UNITS, &length, path)) fatal_bounds_abort();
  wchar_t* last = wcsrchr(folder, L'\\');
  if (last != nullptr) *last = L'\0';
}

// After a load of `image_path` failed for a missing module: the first DLL it imports that
// the same search cannot find, into `module` (capacity MAX_PATH). The search is the main
// DLL's: its folder `main_folder`, then `payload_directory`, then the system's. A DLL of the
// application found there that fails the same way is followed, `depth` levels at most.
// Returns false when none is found (the load failed for another reason). Never fatal.
static bool launch_missing_module(const wchar_t* image_path, const wchar_t* main_folder,
                                  const wchar_t* payload_directory, uint32_t depth,
                                  wchar_t* module) {
  HMODULE mapped = LoadLibraryExW(image_path, /* hFile */ nullptr,
                                  LOAD_LIBRARY_AS_IMAGE_RESOURCE | LOAD_LIBRARY_AS_DATAFILE);
  if (mapped == nullptr) return false;
  // Decision: the image is mapped as the loader maps it, so RVAs are offsets from its base;
  // each one is checked against SizeOfImage before it is read.
  const unsigned char* base = (const unsigned char*)((ULONG_PTR)mapped & ~(ULONG_PTR)3);
  const IMAGE_DOS_HEADER* dos = (const IMAGE_DOS_HEADER*)base;
  bool found = false;
  if (dos->e_magic == IMAGE_DOS_SIGNATURE && dos->e_lfanew > 0 &&
      dos->e_lfanew < 4096 - (LONG)sizeof(IMAGE_NT_HEADERS64)) {
    const IMAGE_NT_HEADERS64* nt = (const IMAGE_NT_HEADERS64*)(base + dos->e_lfanew);
    uint64_t size = nt->OptionalHeader.SizeOfImage;
    const IMAGE_DATA_DIRECTORY* imports =
        &nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    uint64_t at = imports->VirtualAddress;
    bool readable = nt->Signature == IMAGE_NT_SIGNATURE &&
                    nt->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC &&
                    nt->OptionalHeader.NumberOfRvaAndSizes > IMAGE_DIRECTORY_ENTRY_IMPORT &&
                    at != 0;
    for (; readable && !found && at + sizeof(IMAGE_IMPORT_DESCRIPTOR) <= size;
         at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
      const IMAGE_IMPORT_DESCRIPTOR* descriptor = (const IMAGE_IMPORT_DESCRIPTOR*)(base + at);
      if (descriptor->Name == 0) break;
      wchar_t name[MAX_PATH];
      uint32_t units = 0;
      for (uint64_t c = descriptor->Name; c < size && base[c] != 0 && units + 1 < MAX_PATH; c++) {
        name[units++] = (wchar_t)base[c];
      }
      name[units] = L'\0';
      // The application's own copy, where the main DLL's load looks first.
      wchar_t local[ZB_PATH_UNITS];
      bool is_local = false;
      const wchar_t* folders[2] = {main_folder, payload_directory};
      for (int f = 0; f < 2 && !is_local; f++) {
        uint32_t length = 0;
        local[0] = L'\0';
        is_local = wide_append_text(local, ZB_PATH_UNITS, &length, folders[f]) &&
                   wide_append_units(local, ZB_PATH_UNITS, &length, L'\\', 1) &&
                   wide_append_text(local, ZB_PATH_UNITS, &length, name) &&
                   GetFileAttributesW(local) != INVALID_FILE_ATTRIBUTES;
      }
      HMODULE loaded =
          is_local ? LoadLibraryExW(local, /* hFile */ nullptr,
                                    LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR |
                                        LOAD_LIBRARY_SEARCH_USER_DIRS |
                                        LOAD_LIBRARY_SEARCH_SYSTEM32)
                   : LoadLibraryExW(name, /* hFile */ nullptr,
                                    LOAD_LIBRARY_SEARCH_USER_DIRS | LOAD_LIBRARY_SEARCH_SYSTEM32);
      if (loaded != nullptr) {
        FreeLibrary(loaded);
        continue;
      }
      if (GetLastError() != ERROR_MOD_NOT_FOUND) continue;
      if (is_local && depth > 0) {
        found = launch_missing_module(local, main_folder, payload_directory, depth - 1, module);
      } else {
        memcpy(module, name, (units + 1) * sizeof(wchar_t));
        found = true;
      }
    }
  }
  FreeLibrary(mapped);
  return found;
}

// Ends the run with `message` and `error`: with the elevation note when the program needs
// administrator rights; with the policy note naming the folder `payload_directory` lies in
// when a policy refused the program (place_blocked_by_policy); else the plain system-error
// line.
[[noreturn]] static void launch_fail(const char* message, unsigned long error,
                                     const wchar_t* payload_directory) {
  if (error == LAUNCH_ERROR_ELEVATION_REQUIRED) fatal_exit_elevation(message, error);
  if (!place_blocked_by_policy(error)) fatal_exit_code(message, error);
  wchar_t folder[ZB_PATH_UNITS];
  launch_folder_of(payload_directory, folder);
  fatal_exit_policy(message, error, folder);
}

int launch_child(const wchar_t* payload_directory, const wchar_t* dll_path, int argc,
                 wchar_t** argv) {
  AddDllDirectory(payload_directory);
  HMODULE dll = LoadLibraryExW(dll_path, /* hFile */ nullptr,
                               LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                                   LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (dll == nullptr) {
    unsigned long error = GetLastError();
    wchar_t module[MAX_PATH];
    wchar_t main_folder[ZB_PATH_UNITS];
    launch_folder_of(dll_path, main_folder);
    if (error == ERROR_MOD_NOT_FOUND &&
        launch_missing_module(dll_path, main_folder, payload_directory, LAUNCH_MISSING_DEPTH,
                              module)) {
      fatal_exit_missing_module("Error, load DLL.", error, module);
    }
    launch_fail("Error, load DLL.", error, payload_directory);
  }
  launch_entry_point entry = (launch_entry_point)(void*)GetProcAddress(dll, "run_code");
  if (entry == nullptr) fatal_exit("Error, DLL entry point not found.");
  return entry(argc, argv, dll_path);
}

HandleOwner launch_job_create(void) {
  HandleOwner job(CreateJobObjectW(/* lpJobAttributes */ nullptr, /* lpName */ nullptr));
  if (!job) return job;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
  memset(&limits, 0, sizeof limits);
  // Windows documents BREAKAWAY_OK, besides SILENT_BREAKAWAY_OK, as needed before a process in
  // the job may pass CREATE_BREAKAWAY_FROM_JOB; without it that start would fail where it
  // works today (Wine lets it through with either).
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE |
                                            JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK |
                                            JOB_OBJECT_LIMIT_BREAKAWAY_OK;
  if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                               sizeof limits)) {
    job.reset();
  }
  return job;
}

// Puts the suspended child into a new job (launch_job_create). When the job cannot be made or
// the child not put into it (a launcher already in a job that forbids it), the child runs
// without one.
static void launch_child_into_job(Launch* launch, HANDLE process) {
  HandleOwner job = launch_job_create();
  if (job && AssignProcessToJobObject(job.get(), process)) launch->job = job.release();
}

HandleOwner launch_parent_start(Launch* launch, RunContext* run, wchar_t** argv,
                                const wchar_t* program) {
  launch_parent_prepare(launch, argv);
  if (program != nullptr) return launch_start(launch, run, program);
  path_module_file_name(launch->module_path, ZB_PATH_UNITS);
  return launch_start(launch, run, launch->module_path);
}

void launch_parent_prepare(Launch* launch, wchar_t** argv) {
  path_own_executable(launch->executable_directory);
  wchar_t* last_separator = wcsrchr(launch->executable_directory, L'\\');
  if (last_separator != nullptr) *last_separator = L'\0';
  // For the child only: the parent's runtimes never read them (run/driver.cpp).
  env_set_for_children(ENV_DIRECTORY, launch->executable_directory);
  env_set_for_children(ENV_ORIGINAL_ARGV0, argv[0]);
}

void launch_build_command_line(Launch* launch, const wchar_t* application) {
  // The system refuses command lines beyond 32767 units with this code; the launch stops
  // here the same way instead of passing on a cut line.
  AppSettings* app = launch->app;
  if (!command_line_rebuild(launch->command_line, ZB_COMMAND_LINE_UNITS, GetCommandLineW(),
                            application, app != nullptr ? app->arguments : nullptr,
                            app != nullptr ? app->argument_count : 0, launch->element,
                            ZB_COMMAND_LINE_UNITS)) {
    fatal_exit_code("Error, couldn't launch child", ERROR_FILENAME_EXCED_RANGE);
  }
}

bool launch_create_suspended(Launch* launch, const wchar_t* application, wchar_t* environment,
                             LPPROC_THREAD_ATTRIBUTE_LIST attributes,
                             PROCESS_INFORMATION* process, DWORD* error) {
  STARTUPINFOEXW startup;
  memset(&startup, 0, sizeof startup);
  startup.StartupInfo.cb = attributes != nullptr ? sizeof(STARTUPINFOEXW) : sizeof(STARTUPINFOW);
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.StartupInfo.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.StartupInfo.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  startup.lpAttributeList = attributes;
  AppSettings* app = launch->app;
  const wchar_t* directory =
      app != nullptr && app->directory[0] != L'\0' ? app->directory : nullptr;
  memset(process, 0, sizeof *process);
  // Wine quirk: under load its CreateProcessW fails now and then with ERROR_INTERNAL_ERROR for
  // an image it starts at the next try; Windows gives that code for no valid start.
  for (int attempt = 0; attempt < LAUNCH_START_ATTEMPTS; attempt++) {
    if (attempt > 0) Sleep(LAUNCH_START_PAUSE_MS);
    BOOL started = CreateProcessW(
        application, launch->command_line, /* lpProcessAttributes */ nullptr,
        /* lpThreadAttributes */ nullptr, /* bInheritHandles */ TRUE,
        /* dwCreationFlags */ NORMAL_PRIORITY_CLASS | CREATE_SUSPENDED |
            (environment != nullptr ? CREATE_UNICODE_ENVIRONMENT : 0) |
            (attributes != nullptr ? EXTENDED_STARTUPINFO_PRESENT : 0),
        /* lpEnvironment */ environment, /* lpCurrentDirectory */ directory,
        &startup.StartupInfo, process);
    if (started) return true;
    *error = GetLastError();
    if (*error != ERROR_INTERNAL_ERROR) break;
  }
  return false;
}

// Ends the run for a start of `application` that failed with `error`: the lines launch_start
// describes.
[[noreturn]] static void launch_start_failed(Launch* launch, RunContext* run,
                                             const wchar_t* application, DWORD error) {
  // Only the program mode's program lies in the payload directory; the launcher's own child
  // is the executable itself (its manifest asks for what the parent's did).
  if (application != launch->module_path) {
    launch_fail("Error, couldn't launch child", error, run->payload_directory);
  }
  if (error == LAUNCH_ERROR_ELEVATION_REQUIRED) {
    fatal_exit_elevation("Error, couldn't launch child", error);
  }
  fatal_exit_code("Error, couldn't launch child", error);
}

HandleOwner launch_resume(Launch* launch, RunContext* run, const wchar_t* application,
                          PROCESS_INFORMATION* created) {
  HandleOwner child(created->hProcess);
  HandleOwner thread(created->hThread);
  memset(created, 0, sizeof *created);
  if (ResumeThread(thread.get()) == (DWORD)-1) {
    DWORD error = GetLastError();
    TerminateProcess(child.get(), /* uExitCode */ 0);
    fatal_exit_code("Error, couldn't launch child", error);
  }
  thread.reset();
  cleanup_child_publish(run, child.get());
  // Decision: set after the publication, so an interrupt before it still stops the run (the
  // program then ends within the grace period or is ended).
  if (application != launch->module_path) InterlockedExchange(&run->program_started, 1);
  return child;
}

HandleOwner launch_start(Launch* launch, RunContext* run, const wchar_t* application) {
  launch_build_command_line(launch, application);
  // Decision: the settings go into the new process's block and directory, never into this
  // process, whose later steps keep the user's. The application's process (the DLL mode's
  // child too) has them from its first instruction: every runtime's start-up copy sees them.
  // The child's launcher code before the load reads only its own variables, which no setting
  // may name, and the folder handed over, and loads with explicit search flags (no PATH).
  wchar_t* environment = launch->app != nullptr ? app_settings_environment(launch->app) : nullptr;
  PROCESS_INFORMATION created;
  // Through the gate from the start to the publication in the slot: an interrupt either comes
  // first (no child starts) or finds the child in the slot. Not during the wait.
  cleanup_gate_enter(run);
  DWORD error = 0;
  bool started = launch_create_suspended(launch, application, environment,
                                         /* attributes */ nullptr, &created, &error);
  free(environment);
  if (!started) launch_start_failed(launch, run, application, error);
  // Into the job before it runs a single instruction, so nothing it starts escapes unseen.
  launch_child_into_job(launch, created.hProcess);
  HandleOwner child = launch_resume(launch, run, application, &created);
  cleanup_gate_leave(run);
  return child;
}

int launch_parent_wait(const HandleOwner& process) {
  // The job stays open through the wait and shutdown: the parent ends normally only after the
  // child has, so closing it then ends nothing (the application's own processes left it).
  DWORD exit_code = 0;
  WaitForSingleObject(process.get(), INFINITE);
  if (!GetExitCodeProcess(process.get(), &exit_code)) exit_code = 1;
  return (int)exit_code;
}
