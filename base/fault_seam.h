// Fault injection for test builds only. The build force-includes this header (-include) into
// the testing variant of the launcher library and nowhere else, so the shipped launcher never
// contains it. Each Win32 call named below is routed to a wrapper in base/fault_seam.cpp that
// calls the real function unless the instruction in ZOBRIN_TEST_FAULT picks this call:
//
//   ZOBRIN_TEST_FAULT=[child:]OPERATION:N[+|-M]:ERROR
//
//   OPERATION  one of the names below, e.g. WriteFile
//   N          the call to fail, counted from 1 in this process; "N+" fails it and every later
//              one, "N-M" the calls N to M
//   ERROR      the code the failing call leaves in GetLastError, in decimal; for WriteFile also
//              "short": the call writes half the bytes asked for and reports success with that
//              count; for CreateDirectoryW also "taken": the directory is made just before the
//              call, as another process could, and the call then runs (and finds it there);
//              for any operation "delay:MS": the call waits MS milliseconds, then runs
//   child:     the process that reads the instruction first (the parent) passes it on, without the
//              prefix, to the processes it starts, and fails nothing itself
//
// The process that applies an instruction removes the variable, so the processes it starts run
// clean. ZOBRIN_TEST_FAULT_TRACE=FILE appends one line per routed call to FILE:
// "PID OPERATION N SITE ARGUMENT" (SITE: the caller's address as an offset into the executable;
// ARGUMENT: the path or name passed, or "-").
#pragma once

#include <windows.h>

HANDLE WINAPI fault_CreateFileW(LPCWSTR name, DWORD access, DWORD share,
                                LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                HANDLE template_file);
BOOL WINAPI fault_CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security);
BOOL WINAPI fault_WriteFile(HANDLE file, LPCVOID buffer, DWORD bytes, LPDWORD written,
                            LPOVERLAPPED overlapped);
BOOL WINAPI fault_CreateProcessW(LPCWSTR application, LPWSTR command_line,
                                 LPSECURITY_ATTRIBUTES process_security,
                                 LPSECURITY_ATTRIBUTES thread_security, BOOL inherit_handles,
                                 DWORD creation_flags, LPVOID environment,
                                 LPCWSTR current_directory, LPSTARTUPINFOW startup,
                                 LPPROCESS_INFORMATION process);
HMODULE WINAPI fault_LoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags);
FARPROC WINAPI fault_GetProcAddress(HMODULE module, LPCSTR name);
DWORD WINAPI fault_GetTempPathW(DWORD capacity, LPWSTR buffer);
DWORD WINAPI fault_GetFullPathNameW(LPCWSTR name, DWORD capacity, LPWSTR buffer,
                                    LPWSTR* file_part);
DWORD WINAPI fault_GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD capacity);
BOOL WINAPI fault_SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);
BOOL WINAPI fault_DeleteFileW(LPCWSTR path);
BOOL WINAPI fault_RemoveDirectoryW(LPCWSTR path);

// After <windows.h>, so the system's own declarations keep their names.
#define CreateFileW fault_CreateFileW
#define CreateDirectoryW fault_CreateDirectoryW
#define WriteFile fault_WriteFile
#define CreateProcessW fault_CreateProcessW
#define LoadLibraryExW fault_LoadLibraryExW
#define GetProcAddress fault_GetProcAddress
#define GetTempPathW fault_GetTempPathW
#define GetFullPathNameW fault_GetFullPathNameW
#define GetModuleFileNameW fault_GetModuleFileNameW
#define SetConsoleCtrlHandler fault_SetConsoleCtrlHandler
#define DeleteFileW fault_DeleteFileW
#define RemoveDirectoryW fault_RemoveDirectoryW
